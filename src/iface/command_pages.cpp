// The URL-command pages about a request and their shared frame; see
// command_pages.h. The cache entry page is in command_cache_page.cpp.
#include "iface/command_pages.h"

#include <stdlib.h>

#include <vector>

#include "cache/hstream.h"
#include "core/filebuf.h"
#include "core/mem.h"
#include "core/misc.h"
#include "http/header.h"
#include "http/upstream.h"
#include "iface/html.h"
#include "iface/interface.h"
#include "iface/templates.h"
#include "net/connection.h"

namespace {

const char source[] = "src/interface";

// The most body bytes a "raw" page shows: escaping may multiply them by 7,
// and the page is held whole before it is sent.
const unsigned RAW_PAGE_BODY_MAX = 16u << 20;

// A byte count as text (filesize), or "Unlimited" for -1.
std::string allowance_text(int64_t allowance) {
    if (allowance < 0)
        return "Unlimited";
    char* text = filesize(static_cast<uint64_t>(allowance));
    if (text == nullptr)
        FATAL_ALLOC(source, 17);
    std::string result = text;
    free(text);
    return result;
}

// A header's text as received, escaped inside <pre>, in a row of its own.
void header_row(Filebuf* page, const HEADER* header) {
    page->Addf("<tr><td><pre>");
    if (header != nullptr)
        html_add(page, header->raw);
    page->Addf("</pre></td></tr>\n");
}

// One row of the tree page: indentation, then the tag or the text.
void htmltree_row(Filebuf* page, const htmlstream_node* node, int depth) {
    page->Addf("<tr><td><table border=\"0\" cellpadding=\"0\" cellspacing=\"0\">"
               "<tr><td width=\"%d\"></td><td>",
               depth * 36);
    if (node->tag != nullptr) {
        html_add(page, node->tag->name);
        page->Addf(" ");
        for (const htmlstream_attr* attr = node->tag->attr; attr != nullptr; attr = attr->next) {
            html_add(page, attr->name);
            page->Addf("=\"");
            html_add(page, attr->value);
            page->Addf("\" ");
        }
    } else if (node->text != nullptr) {
        page->Addf("\"");
        html_add(page, node->text, HTML_NEWLINE_BREAK | HTML_SPACE_NBSP);
        page->Addf("\"");
    }
    page->Addf("</td></tr></table></td></tr>\n");
}

} // namespace

// ---- The shared frame ----------------------------------------------------------

void command_page_open(CONNECTION_T* connection, Filebuf* page, const char* what,
                       const std::string& location) {
    page->Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
               "<html><head><title>%s ",
               what);
    html_add(page, location);
    page->Addf("</title></head><body>\n");
    if (template_section != nullptr)
        interface_stylesheet(connection, page);
}

std::string command_page_location(const HEADER* request) {
    std::string location;
    if (request != nullptr) {
        if (request->host != nullptr)
            location = request->host;
        if (request->path != nullptr)
            location += request->path;
    }
    return location;
}

void command_page_box(Filebuf* page, const char* table_class) {
    page->Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">"
               "<tr><td align=\"center\">\n<table class=\"%s\">\n",
               table_class);
}

void command_page_close(Filebuf* page) {
    page->Addf("</table></td></tr></table></body></html>\n");
}

// ---- The pages -----------------------------------------------------------------

void show_htmltree_node(Filebuf* page, htmlstream_node* node, int depth) {
    // Depth first without recursion: the stack holds the next sibling to
    // visit at each level above the current one.
    std::vector<htmlstream_node*> resume;
    while (node != nullptr) {
        htmltree_row(page, node, depth);
        if (node->child != nullptr) {
            resume.push_back(node->next);
            node = node->child;
            depth++;
            continue;
        }
        node = node->next;
        while (node == nullptr && !resume.empty()) {
            node = resume.back();
            resume.pop_back();
            depth--;
        }
    }
}

int show_htmltree(CONNECTION_T* connection) {
    Filebuf page;
    command_page_open(connection, &page, "HTML tree for", command_page_location(connection->request));
    command_page_box(&page, "list");
    if (connection->htmlstream != nullptr)
        show_htmltree_node(&page, connection->htmlstream->root(), 0);
    command_page_close(&page);
    interface_send_response(connection, &page);
    return 1;
}

int show_variables(CONNECTION_T* connection) {
    Filebuf page;
    command_page_open(connection, &page, "Variables for", command_page_location(connection->request));
    command_page_box(&page, "list");
    page.Addf("<tr class=\"listhead\"><td><b>Name</b></td><td><b>Value</b></td></tr>\n");
    const int flags = HTML_NEWLINE_BREAK | HTML_SPACE_NBSP;
    unsigned row = 0;
    for (const auto& variable : connection->variables) {
        page.Addf("<tr class=\"%s\"><td>", html_row_class(row++));
        html_add(&page, variable.first, flags);
        page.Addf("</td><td>");
        html_add(&page, variable.second, flags);
        page.Addf("</td></tr>\n");
    }
    command_page_close(&page);
    interface_send_response(connection, &page);
    return 1;
}

int show_proxytest(CONNECTION_T* connection) {
    Filebuf page;
    // The test sends the request elsewhere: the title names it as asked.
    command_page_open(connection, &page, "Proxy test for", command_page_location(connection->request));
    command_page_box(&page, "centerdialog");
    if (connection->forward_mode != FORWARD_HTTP_PARENT) {
        page.Addf("<tr><td>Not forwarding through HTTP proxy</td></tr>\n");
    } else {
        proxy_test(connection);
        std::string parent = connection->upstream_host != nullptr ? connection->upstream_host : "";
        parent += ":" + std::to_string(connection->upstream_port);
        if (connection->response != nullptr) {
            page.Addf("<tr><td>Headers received from ");
            html_add(&page, parent);
            page.Addf("</td></tr>\n");
            header_row(&page, connection->response);
        } else {
            page.Addf("<tr><td>");
            html_add(&page, parent);
            page.Addf(" failed to connect back</td></tr>\n");
        }
    }
    command_page_close(&page);
    interface_send_response(connection, &page);
    http_header_free(connection->response);
    connection->response = nullptr;
    return 1;
}

int show_profiles(CONNECTION_T* connection) {
    Filebuf page;
    command_page_open(connection, &page, "Active profiles for",
                      command_page_location(connection->request));
    command_page_box(&page, "list");
    unsigned row = 0;
    for (const std::string& profile : connection->profiles) {
        page.Addf("<tr class=\"%s\"><td>", html_row_class(row++));
        html_add(&page, profile);
        page.Addf("</td></tr>\n");
    }
    command_page_close(&page);
    interface_send_response(connection, &page);
    return 1;
}

int show_filebuf(CONNECTION_T* connection, Filebuf* body) {
    Filebuf page;
    command_page_open(connection, &page, "Raw contents of",
                      command_page_location(connection->request));
    page.Addf("<pre>\n");
    unsigned size = body != nullptr ? body->size : 0;
    unsigned shown = size < RAW_PAGE_BODY_MAX ? size : RAW_PAGE_BODY_MAX;
    if (shown > 0)
        html_add_bytes(&page, body->data, shown);
    page.Addf("</pre>\n");
    if (shown < size)
        page.Addf("<p>%u further bytes not shown.</p>\n", size - shown);
    page.Addf("</body></html>\n");
    interface_send_response(connection, &page);
    return 1;
}

int show_headers(CONNECTION_T* connection) {
    Filebuf page;
    command_page_open(connection, &page, "HTTP headers to/from",
                      command_page_location(connection->request));
    command_page_box(&page, "bigdialog");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Client header</td></tr>\n");
    header_row(&page, connection->request);
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Server header</td></tr>\n");
    header_row(&page, connection->response);
    command_page_close(&page);
    interface_send_response(connection, &page);
    return 1;
}

int limits_show(CONNECTION_T* connection) {
    std::string location = command_page_location(connection->request);
    Filebuf page;
    command_page_open(connection, &page, "Transfer limits for", location);
    command_page_box(&page, "bigdialog");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Transfer limits for ");
    html_add(&page, location);
    page.Addf("</td></tr>\n");
    page.Addf("<tr><td>Download limit</td><td>%s</td></tr>\n",
              allowance_text(connection->down_allowance).c_str());
    page.Addf("<tr><td>Upload limit</td><td>%s</td></tr>\n",
              allowance_text(connection->up_allowance).c_str());
    command_page_close(&page);
    interface_send_response(connection, &page);
    return 1;
}

int score_show(CONNECTION_T* connection, int score) {
    std::string location = command_page_location(connection->request);
    Filebuf page;
    command_page_open(connection, &page, "Keyword score for", location);
    command_page_box(&page, "bigdialog");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Keyword score for ");
    html_add(&page, location);
    page.Addf("</td></tr>\n<tr><td align=\"center\">%d</td></tr>\n", score);
    command_page_close(&page);
    interface_send_response(connection, &page);
    return 1;
}
