#include "ftp/dirlist_page.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "ftp/dirlist_token.h"
#include "ftp/ftp_list.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/url.h"
#include "iface/interface.h"
#include "net/connection.h"
#include "net/relay.h"

namespace {

// HTML-escaped copy as a std::string; the helper's allocation failure is
// fatal.
std::string html(const char* text) {
    char* escaped = string_to_html(text != nullptr ? text : "", 0, 0);
    if (escaped == nullptr)
        FATAL_ALLOC("src/interface", static_cast<unsigned>(strlen(text != nullptr ? text : "") + 1));
    std::string result = escaped;
    free(escaped);
    return result;
}

std::string size_text(uint64_t size) {
    char* text = filesize(size);
    if (text == nullptr)
        FATAL_ALLOC("src/interface", 17);
    std::string result = text;
    free(text);
    return result;
}

void sort_cell(Filebuf* page, const char* field, const std::string& interface_host) {
    page->Addf("<td align=\"center\"><a href=\"?order=descending&amp;field=%s\"><img "
               "src=\"http://%s/template/uparrow\" border=\"0\"></a>"
               "<a href=\"?order=ascending&amp;field=%s\"><img "
               "src=\"http://%s/template/downarrow\" border=\"0\"></a></td>",
               field, interface_host.c_str(), field, interface_host.c_str());
}

} // namespace

std::string dirlist_date(const struct tm& date) {
    struct tm normalised = date;
    // timegm only normalises here (no zone or daylight shift of the fields).
    timegm(&normalised);
    char text[64] = "";
    strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &normalised);
    return text;
}

std::string dirlist_href(const char* name) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string href;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0'; p++) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            strchr("-._~/", c) != nullptr) {
            href += static_cast<char>(c);
        } else {
            href += '%';
            href += HEX[c >> 4];
            href += HEX[c & 15];
        }
    }
    return href;
}

void dirlist_page_build(Filebuf* page, const char* path, const char* interface_host,
                        dir_t* entries, const std::string& token) {
    std::string arrows_host = html(interface_host);
    char* links = path_to_url(path);
    if (links == nullptr)
        FATAL_ALLOC("src/interface", static_cast<unsigned>(strlen(path) + 1));
    page->Addf("<table cellpadding=\"0\" cellspacing=\"0\" width=\"100%%\">\n"
               "<tr><td align=\"center\"><table class=\"ftphead\" width=\"100%%\"><tr>"
               "<td align=\"center\">%s</td></tr></table></td></tr>\n",
               links);
    free(links);

    page->Addf("<tr><td align=\"center\"><table class=\"list\" width=\"100%%\">\n"
               "<form action=\"%s\" method=\"POST\">\n"
               "<input type=\"hidden\" name=\"token\" value=\"%s\">\n",
               html(path).c_str(), html(token.c_str()).c_str());
    page->Addf("<tr class=\"dialoghead\"><td></td>");
    sort_cell(page, "name", arrows_host);
    sort_cell(page, "size", arrows_host);
    sort_cell(page, "date", arrows_host);
    page->Addf("</tr>\n");

    int row = 0;
    for (dir_t* entry = entries; entry != nullptr; entry = entry->next, row++) {
        std::string name = html(entry->name);
        page->Addf("<tr class=\"%s\">", row % 2 == 0 ? "listeven" : "listodd");
        page->Addf("<td align=\"center\"><input type=\"checkbox\" name=\"filename\" "
                   "value=\"%s\"></td>\n",
                   name.c_str());
        page->Addf("<td><a href=\"%s\">%s</a></td>", html(dirlist_href(entry->name).c_str()).c_str(),
                   name.c_str());
        if (entry->is_dir)
            page->Addf("<td>DIR</td>");
        else
            page->Addf("<td>%s</td>", size_text(entry->size).c_str());
        page->Addf("<td>%s</td></tr>\n", dirlist_date(entry->tm).c_str());
    }

    static const struct {
        const char* label;
        const char* value;
    } actions[] = {
        {"Delete", "delete"}, {"Rename", "rename"},        {"Mkdir", "mkdir"},
        {"Rmdir", "rmdir"},   {"Regexp match", "rematch"}, {"Raw command", "raw"},
    };
    page->Addf("<tr class=\"dialogfoot\"><td align=\"center\" colspan=\"4\">");
    for (const auto& action : actions)
        page->Addf("%s: <input type=\"radio\" name=\"action\" value=\"%s\"> ", action.label,
                   action.value);
    page->Addf("</td></tr>\n");
    page->Addf("<tr><td align=\"center\" colspan=\"4\">Argument: <input type=\"text\" "
               "name=\"argument\" size=\"80\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
               "</form>\n</table></td></tr></table>\n");
}

int show_dirlist(CONNECTION_T* connection, dir_t* entries) {
    if (connection->client == nullptr || (connection->flags & CONN_NO_CLIENT))
        return 0;
    HEADER* request = connection->request;
    std::string path = request->path != nullptr ? request->path : "/";
    path = path.substr(0, path.find('?'));

    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>Directory listing for ftp://%s:%d%s</title></head>",
              html(request->host).c_str(), request->port, html(path.c_str()).c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    std::string token =
        dirlist_token_make(dirlist_token_scope(connection, path), dirlist_token_clock());
    dirlist_page_build(&page, path.c_str(), INTERFACE_HOSTNAME, entries, token);
    page.Addf("</body></html>\n");

    HEADER* header = header_new();
    header->type = RESPONSE_HTTP;
    header->status = 200;
    header->content_length = page.size;
    header->flags |= HEADER_HAS_LENGTH;
    header->content_type = xstrdup("text/html");
    header->cache_control = xstrdup("no-cache");
    if (header->content_type == nullptr || header->cache_control == nullptr)
        FATAL_ALLOC("src/interface", 10);

    LogEntry& record = connection->log;
    record.status = 200;
    record.size = page.size;
    record.mime = "text/html";

    HEADER* previous = connection->response;
    connection->response = header;
    header_send(header, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    connection->response = previous;
    http_header_free(header);
    if (!(connection->flags & CONN_HEAD))
        net_filebuf_send(&page, connection, SIDE_CLIENT);
    return 1;
}
