// The page of the URL command "cookies": the cookies the request sent and
// the response set, as they came (the cookie filter's decisions do not
// apply here). Every value is HTML-escaped.
#include <string.h>
#include <time.h>

#include <list>

#include "core/filebuf.h"
#include "core/misc.h"
#include "filter/cookie_filter.h"
#include "http/header.h"
#include "iface/html.h"
#include "iface/interface.h"
#include "net/connection.h"

namespace {

// Escaped with the interface's line wrapping, as the other pages show
// values.
const int SHOWN = HTML_NEWLINE_BREAK;

void row(Filebuf* page, const char* label, const std::string& value) {
    page->Addf("<tr><td>");
    html_add(page, label, SHOWN);
    page->Addf("</td><td>");
    html_add(page, value, SHOWN);
    page->Addf("</td></tr>\n");
}

void dialog_open(Filebuf* page, const char* heading) {
    page->Addf("<tr><td align=\"center\"><table class=\"dialog\">\n"
               "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">%s</td></tr>\n",
               heading);
}

void dialog_close(Filebuf* page) {
    page->Addf("</table></td></tr>\n<tr><td>&nbsp;</td></tr>\n");
}

void pairs(Filebuf* page, const CookieHeader& cookie) {
    for (const auto& pair : cookie.pairs)
        row(page, pair.first.c_str(), pair.second);
}

// The lines of that exact name (case counts, as the page's contract says).
bool named(const HTTP_HEADER& line, const char* first, const char* second) {
    return line.name == first || line.name == second;
}

} // namespace

int interface_cookies_show(CONNECTION_T* connection) {
    const HEADER* request = connection->request;
    const HEADER* response = connection->response;
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>Cookies for ");
    if (request != nullptr) {
        html_add(&page, request->host);
        html_add(&page, request->path);
    }
    page.Addf("</title></head><body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">\n");
    if (request != nullptr)
        for (const HTTP_HEADER& line : request->lines) {
            if (!named(line, "Cookie", "Cookie2"))
                continue;
            CookieHeader cookie(line.value);
            dialog_open(&page, "Sent cookie");
            pairs(&page, cookie);
            dialog_close(&page);
        }
    if (response != nullptr)
        for (const HTTP_HEADER& line : response->lines) {
            if (!named(line, "Set-Cookie", "Set-Cookie2"))
                continue;
            CookieHeader cookie(line.value);
            dialog_open(&page, "Received cookie");
            if (cookie.has_expiry) {
                char date[64];
                if (strftime(date, sizeof date, "%a, %d-%b-%Y %H:%M:%S GMT", &cookie.expiry) > 0)
                    row(&page, "Expires", date);
            }
            if (!cookie.domain.empty())
                row(&page, "Domain", cookie.domain);
            if (!cookie.path.empty())
                row(&page, "Path", cookie.path);
            pairs(&page, cookie);
            dialog_close(&page);
        }
    page.Addf("</table></body></html>\n");
    interface_send_response(connection, &page);
    return 1;
}
