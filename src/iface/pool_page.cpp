// The status page "/pool": the idle upstream connections of the server pool.
#include <time.h>

#include "core/filebuf.h"
#include "core/global.h"
#include "iface/html.h"
#include "iface/status_pages.h"
#include "net/serverpool.h"

void interface_page_pool(Filebuf* page, CGIMap&, CONNECTION_T*) {
    page->Addf("<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td>Protocol</td><td>Host</td><td>Port</td>"
               "<td>Username</td><td>Age</td></tr>\n");
    if (global != nullptr && global->serverpool != nullptr) {
        ServerPool* pool = global->serverpool;
        time_t now = time(nullptr);
        unsigned row = 0;
        pool->mutex.lock();
        for (const serverpool_t* entry : pool->pool) {
            page->Addf("<tr class=\"%s\"><td>", html_row_class(row++));
            // Hosts and user names come from requests: escaped. The
            // password is never shown.
            html_add(page, entry->protocol);
            page->Addf("</td><td>");
            html_add(page, entry->host);
            page->Addf("</td><td>%d</td><td>", entry->port);
            html_add(page, entry->user != nullptr && entry->user[0] != '\0' ? entry->user
                                                                            : "(none)");
            page->Addf("</td><td>%lld</td></tr>\n", static_cast<long long>(now - entry->added));
        }
        pool->mutex.unlock();
    }
    page->Addf("</table>\n");
}
