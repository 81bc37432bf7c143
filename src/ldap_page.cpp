#include "ldap_page.h"

#include "filebuf.h"

// Until the look-up form and the cache listing exist the page is only its
// heading.
void interface_page_ldap(Filebuf* page, CGIMap&, CONNECTION_T*) {
    page->Addf("<table class=\"bigdialog\">\n<tr class=\"dialoghead\"><td>Ldap</td></tr>\n"
               "</table>\n");
}
