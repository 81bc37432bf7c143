// The status pages "/connections", "/headers" and "/stats".
#include "iface/status_pages.h"

#include <pthread.h>

#include "core/filebuf.h"
#include "core/global.h"
#include "core/misc.h"
#include "core/threads.h"
#include "http/header.h"
#include "iface/html.h"
#include "net/clientpool.h"
#include "net/connection.h"

namespace {

// A slot's text or "NONE", escaped.
void add_or_none(Filebuf* page, const char* text) {
    html_add(page, text != nullptr ? text : "NONE", HTML_NEWLINE_BREAK);
}

void header_list(Filebuf* page, const char* heading, const HeaderLines& lines,
                 unsigned& row) {
    page->Addf("<tr><td><table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\"><b>%s</b></td></tr>\n",
               heading);
    page->Addf("<tr class=\"listhead\"><td>Type</td><td>Value</td></tr>\n");
    for (const HTTP_HEADER& line : lines) {
        page->Addf("<tr class=\"%s\"><td>", html_row_class(row++));
        html_add(page, line.name, HTML_NEWLINE_BREAK);
        page->Addf("</td><td>");
        html_add(page, line.value, HTML_NEWLINE_BREAK);
        page->Addf("</td></tr>\n");
    }
    page->Addf("</table></td></tr>\n");
}

} // namespace

void interface_page_connections(Filebuf* page, CGIMap&, CONNECTION_T*) {
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td>\n");
    page->Addf("<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"7\" align=\"center\"><b>Transferring</b></td></tr>\n");
    page->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Method</td>"
               "<td>URL</td></tr>\n");
    unsigned row = 0;
    pthread_mutex_lock(&threadlistlock);
    int used = thread_slots_used_locked();
    for (int i = 0; i < used; i++) {
        const thread_t& slot = threads[i];
        if (slot.state != THREAD_SERVING && slot.state != THREAD_PREFETCHING)
            continue;
        page->Addf("<tr class=\"%s\"><td>%u</td><td>", html_row_class(row++), slot.client_id);
        html_add(page, slot.ip);
        page->Addf("</td><td>%d</td><td>", slot.requests);
        add_or_none(page, slot.method);
        page->Addf("</td><td>");
        add_or_none(page, slot.url);
        page->Addf("</td></tr>\n");
    }
    pthread_mutex_unlock(&threadlistlock);
    page->Addf("</table>\n");
    page->Addf("</td></tr> <tr><td><br></td></tr> <tr><td>\n");
    if (global != nullptr && global->clientpool != nullptr)
        global->clientpool->show_connections(page);
    page->Addf("</td></tr> </table>\n");
}

void interface_page_headers(Filebuf* page, CGIMap&, CONNECTION_T* connection) {
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\">\n");
    if (connection != nullptr && connection->request != nullptr) {
        unsigned row = 0;
        header_list(page, "Unfiltered", connection->request->lines, row);
        page->Addf("<tr><td><br></td></tr>\n");
        header_list(page, "Filtered", connection->request->filtered_lines, row);
    }
    page->Addf("</table>\n");
}

void interface_page_stats(Filebuf* page, CGIMap&, CONNECTION_T*) {
    page->Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">\n");
    if (global != nullptr)
        global->stats.Display(page);
    page->Addf("</table>\n");
}
