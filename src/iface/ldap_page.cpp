// The interface page "/ldap".
#include "iface/ldap_page.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "auth/dn_cache.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/misc.h"
#include "iface/cgimap.h"
#include "iface/html.h"

namespace {

// One row: the user name, then the text of the second cell (escaped pieces
// joined by ",").
void add_row(Filebuf* page, unsigned row, const char* user, const char* dn, const char* groups) {
    page->Addf("<tr class=\"%s\"><td width=\"25%%\">", html_row_class(row));
    html_add(page, user, HTML_NEWLINE_BREAK);
    page->Addf("</td><td>");
    html_add(page, dn, HTML_NEWLINE_BREAK);
    if (groups != NULL && groups[0] != '\0') {
        page->Addf(",");
        html_add(page, groups, HTML_NEWLINE_BREAK);
    }
    page->Addf("</td></tr>\n");
}

const char* const HEAD_ROW =
    "<tr class=\"listhead\"><td width=\"25%\">User Name</td><td>LDAP Profiles</td></tr>\n";

void lookup_form(Filebuf* page) {
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Ldap</td></tr>\n");
    page->Addf("<form action=\"ldap\" method=\"POST\">\n");
    page->Addf("<tr><td>Enter the User Principal Name to identify DN</td><td><input "
               "type=\"text\" name=\"upn\" value=\"\" size=\"125\"></td></tr>\n");
    page->Addf("<input type=\"hidden\" name=\"show\" value=\"yes\">\n");
    page->Addf("<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" "
               "align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form></table>\n");
    page->Addf("</td></tr></table>\n");
}

void cache_listing(Filebuf* page) {
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr><td align=\"center\">\n");
    page->Addf("<tr><td><table class=\"list\">\n");
    page->Addf("%s", HEAD_ROW);
    unsigned row = 0;
    if (global != NULL && global->dn_cache != NULL) {
        DN_CACHE_TABLE* table = global->dn_cache;
        // One chain at a time, so that writers are not held off for the
        // whole listing.
        for (unsigned chain = 0; chain < table->n; chain++) {
            pthread_rwlock_rdlock(&global->dn_cache_lock);
            for (DN_CACHE_ENTRY* entry = table->table[chain]; entry != NULL; entry = entry->next)
                add_row(page, row++, entry->user, entry->dn, entry->groups);
            pthread_rwlock_unlock(&global->dn_cache_lock);
        }
    }
    page->Addf("</td></tr></table>\n");
    page->Addf("<tr><td><br></td></tr>\n");
}

void lookup_names(Filebuf* page, const std::string& names) {
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr><td align=\"center\">\n");
    page->Addf("</table></td></tr>\n");
    page->Addf("<tr><td><table class=\"list\">\n");
    page->Addf("%s", HEAD_ROW);
    char** users = string_break(names.c_str(), ',');
    unsigned row = 0;
    for (char** user = users; user != NULL && *user != NULL; user++) {
        if ((*user)[0] == '\0')
            continue;
        std::string dn;
        std::string groups;
        if (check_dn_cache(*user, dn, groups) != 0) {
            page->Addf("<tr class=\"%s\"><td width=\"25%%\">", html_row_class(row++));
            html_add(page, *user, HTML_NEWLINE_BREAK);
            page->Addf("</td><td>User not found!</td></tr>\n");
            continue;
        }
        add_row(page, row++, *user, dn.c_str(), groups.c_str());
    }
    array_free(users);
    page->Addf("</table></td></tr>\n");
}

} // namespace

void interface_page_ldap(Filebuf* page, CGIMap& arguments, CONNECTION_T*) {
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td "
               "align=\"center\">\n");
    const std::string& names = arguments["upn"];
    if (names.empty()) {
        lookup_form(page);
        if (arguments["show"] != "yes")
            return;
        cache_listing(page);
    } else {
        lookup_names(page, names);
    }
    page->Addf("</td></tr></table></td></tr></table>\n");
}
