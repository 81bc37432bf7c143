// The status page "/prefetch": the prefetch queue, and a form that adds a
// URL to it.
#include <stdlib.h>

#include <string>

#include "cache/prefetch.h"
#include "core/filebuf.h"
#include "core/misc.h"
#include "http/url.h"
#include "iface/cgimap.h"
#include "iface/form_token.h"
#include "iface/html.h"
#include "iface/status_pages.h"

void interface_page_prefetch(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection) {
    if (prefetch_section == nullptr)
        return;
    const std::string& wanted = arguments["queue"];
    // Queuing makes the proxy fetch: only through the posted form.
    if (!wanted.empty() && !interface_form_posted(connection, arguments)) {
        html_error(page, FORM_TOKEN_REFUSED);
    } else if (!wanted.empty()) {
        // What the queue does with it is logged by the queue; a text that
        // is no URL is ignored.
        URL* url = url_parse(wanted.c_str());
        if (url != nullptr)
            prefetch_section->queue_add(url, nullptr, -1, 1);
    }
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td "
               "align=\"center\">\n");
    page->Addf("<table class=\"dialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td>Add URL to prefetch queue</td></tr>\n");
    page->Addf("<form action=\"prefetch\" method=\"POST\">\n");
    interface_form_token_field(page, connection);
    page->Addf("<tr><td align=\"center\"><input type=\"text\" name=\"queue\" value=\"\" "
               "size=\"80\"></td></tr>\n");
    page->Addf("<tr class=\"dialogfoot\"><td align=\"center\"><input type=\"submit\" "
               "value=\"Submit\"></td></tr>\n");
    page->Addf("</form></table>\n");
    page->Addf("</td></tr><tr><td><br></td></tr><tr><td>\n<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td>Prefetch queue</td></tr>\n");
    unsigned row = 0;
    prefetch_section->mutex_lock();
    for (const PREFETCH_QUEUE* waiting = prefetch_section->queue; waiting != nullptr;
         waiting = waiting->next) {
        char* text = url_create(waiting->url);
        page->Addf("<tr class=\"%s\"><td>", html_row_class(row++));
        html_add(page, text, HTML_NEWLINE_BREAK);
        page->Addf("</td></tr>\n");
        free(text);
    }
    prefetch_section->unlock();
    page->Addf("</table></td></tr></table>\n");
}
