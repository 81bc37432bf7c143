// Recognising interface requests, routing them, and the page frame with its
// menu; the login lives in interface_login.cpp.
#include "iface/interface.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>

#include <tinyxml2.h>

#include "auth/ldap.h"
#include "auth/password_crypt.h"
#include "config/configfile.h"
#include "config/general.h"
#include "config/sync.h"
#include "core/access_log.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "filter/vantori_page.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/proto_http.h"
#include "iface/cache_page.h"
#include "iface/cgimap.h"
#include "iface/config_pages.h"
#include "iface/html.h"
#include "iface/interface_login.h"
#include "iface/ldap_page.h"
#include "iface/stats.h"
#include "iface/status_pages.h"
#include "iface/templates.h"
#include "net/connection.h"

namespace {

const char source[] = "src/interface";

// Interface pages may show configuration, credentials and statistics: no
// cache on the way may keep them.
const char NO_STORE[] = "no-store";

const size_t interface_name_length = sizeof INTERFACE_HOSTNAME - 1;

struct interface_page_row_t {
    const char* path; // NULL ends the table
    interface_page_t page;
};

// Every row whose path matches is called, in this order.
const interface_page_row_t pages[] = {
    {"/connections", interface_page_connections},
    {"/dnscache", interface_page_dnscache},
    {"/headers", interface_page_headers},
    {"/config", interface_page_config},
    {"/save", interface_page_save},
    {"/load", interface_page_load},
    {"/log", interface_page_log},
    {"/cache", interface_page_cache},
    {"/pool", interface_page_pool},
    {"/prefetch", interface_page_prefetch},
    {"/stats", interface_page_stats},
    {"/urlbl", interface_page_urlbl},
    {"/ldap", interface_page_ldap},
    {"/password", interface_page_password},
    {"/vantori", interface_page_vantori},
    {nullptr, nullptr},
};

// The menu: four rows of four cells, each a page name and its label; an
// empty name is an empty cell (the last one offers the log-out when a login
// is in force).
const char* const MENU[4][4][2] = {
    {{"connections", "Active connections"}, {"stats", "Statistics"},
     {"dnscache", "DNS cache"}, {"headers", "Show headers"}},
    {{"cache", "View cache entries"}, {"pool", "Connection pool"},
     {"prefetch", "Prefetch queue"}, {"urlbl", "URL blacklist"}},
    {{"config", "Config"}, {"log", "View log entries"},
     {"save", "Save settings"}, {"load", "Load settings"}},
    {{"ldap", "Show LDAP Groups"}, {"password", "Encrypt Password"},
     {"vantori", "Test vantori"}, {"", ""}},
};

char* new_text(const char* text) {
    char* copy = xstrdup(text);
    if (copy == nullptr)
        FATAL_ALLOC(source, static_cast<unsigned>(strlen(text) + 1));
    return copy;
}

bool is_interface_name(const char* name) {
    return name != nullptr && strcasecmp(name, INTERFACE_HOSTNAME) == 0;
}

// Whether a Host header value names the interface host (with or without a
// port).
bool host_header_is_interface(const char* host_header) {
    return host_header != nullptr &&
           strncasecmp(host_header, INTERFACE_HOSTNAME, interface_name_length) == 0 &&
           (host_header[interface_name_length] == '\0' || host_header[interface_name_length] == ':');
}

const char* raw_path(const HEADER* request) {
    return request->path != nullptr ? request->path : "/";
}

// The path within the interface: an origin-form request addresses it as
// "/kestrivan/<path>" (what follows the name; empty or not beginning with
// "/" for "/kestrivan" or "/kestrivanx"), a request for the interface host
// as "/<path>". The query is left on.
const char* interface_path(const HEADER* request) {
    const char* path = raw_path(request);
    if (request->type != REQUEST_TRANSPARENT)
        return path;
    return strlen(path) > interface_name_length ? path + 1 + interface_name_length : "";
}

// A response header of the interface: status, content type, no-store.
HEADER* answer_header(int status, const char* content_type) {
    HEADER* header = header_new();
    header->type = RESPONSE_HTTP;
    header->status = status;
    header->content_type = new_text(content_type);
    header->cache_control = new_text(NO_STORE);
    return header;
}

void send_answer(CONNECTION_T* connection, HEADER* header, Filebuf* body) {
    send_own_answer(connection, header, body);
    http_header_free(header);
}

// The client's rule does not grant the interface: the page "noaccess" and
// the record of a refusal on both access logs.
void refuse(CONNECTION_T* connection) {
    putlog(LOG_SECURITY, "[IP:%s] web interface refused by the access rules",
           connection->client_ip);
    if (template_section != nullptr)
        template_section->send("noaccess", connection, 403);
    const HEADER* request = connection->request;
    LogEntry& record = connection->log;
    record.method = request->method != nullptr ? request->method : "-";
    record.url = request->url != nullptr ? request->url : raw_path(request);
    record.set_cachecode(CACHECODE_TCP_DENIED)->set_peercode(PEERCODE_DIRECT);
    record.peer = "kestrivan";
    record.status = 403;
    record.Write();
    record.apache_Write();
}

// "/template/<name>": the page template of that name, for anyone.
void send_template(CONNECTION_T* connection, const char* name) {
    if (template_section == nullptr)
        return;
    if (name[0] == '\0' || template_section->send(name, connection, 200) == 0)
        template_section->send("unknown", connection, 404);
}

// "/kestrivan" or "/kestrivanx" in origin form: on to "/kestrivan/", by a
// reference relative to the request's own path.
void redirect_to_slash(CONNECTION_T* connection) {
    HEADER* header = answer_header(302, "text/html");
    header->location = new_text(INTERFACE_HOSTNAME "/");
    Filebuf empty;
    send_answer(connection, header, &empty);
}

// The documents for other instances need the interface login when the rule
// names one; a client without it is asked for Basic credentials.
bool export_allowed(CONNECTION_T* connection) {
    if (interface_export_allowed(connection))
        return true;
    putlog(LOG_SECURITY, "[IP:%s] web interface document refused without login",
           connection->client_ip);
    HEADER* header = answer_header(401, "text/plain");
    header->lines.push_back(
        HTTP_HEADER{1, "WWW-Authenticate", "Basic realm=\"Kestrivan web interface\""});
    Filebuf body;
    body.Addf("Web interface login required.\n");
    send_answer(connection, header, &body);
    return false;
}

// "/xml": the configuration document, rebuilt from the sections, stamped
// with the time of its last change in universal time (what a slave
// compares with its own stamp).
void send_xml(CONNECTION_T* connection) {
    Filebuf body;
    char stamp[64];
    pthread_mutex_lock(&documentlock);
    time_t changed = documentsynctime;
    config_xml_build();
    tinyxml2::XMLPrinter printer;
    if (document != nullptr)
        document->Print(&printer);
    body.Add(printer.CStr(), static_cast<unsigned>(printer.CStrSize() > 0 ? printer.CStrSize() - 1 : 0));
    pthread_mutex_unlock(&documentlock);
    HEADER* header = answer_header(200, "text/xml");
    if (sync_time_format(changed, stamp, sizeof stamp) != 0)
        header->last_modified = new_text(stamp);
    send_answer(connection, header, &body);
}

// "/ldapcache": the DN cache for another instance that copies it, stamped
// with the time this instance's cache was last loaded.
void send_ldapcache(CONNECTION_T* connection) {
    Filebuf body;
    char stamp[64];
    pthread_mutex_lock(&documentlock);
    time_t loaded = ldap_section != nullptr ? ldap_section->dn_cache_loaded : 0;
    pthread_mutex_unlock(&documentlock);
    if (ldap_section != nullptr)
        ldap_section->interface_page_sendldap(&body);
    HEADER* header = answer_header(200, "text/xml");
    if (sync_time_format(loaded, stamp, sizeof stamp) != 0)
        header->last_modified = new_text(stamp);
    send_answer(connection, header, &body);
}

void page_head(CONNECTION_T* connection, Filebuf* page) {
    page->Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
               "<html><head>\n<title>Kestrivan %s web interface for ",
               product_version);
    html_add(page, interface_proxy_host());
    page->Addf("</title></head>\n"
               "<body onmousemove=\"overhere()\"><div id=\"ToolTip\"></div>\n");
    if (template_section != nullptr) {
        template_section->insert(connection, page, "tooltip");
        template_section->insert(connection, page, "interfacehead");
    }
    page->Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">\n"
               "<tr><td align=\"center\">\n");
}

void menu(const CONNECTION_T* connection, Filebuf* page) {
    page->Addf("<tr class=\"topmenu\"><td>Top Menu</td></tr>\n"
               "<tr><td><table class=\"menu\"><tr align=\"center\">\n");
    for (int row = 0; row < 4; row++) {
        if (row > 0)
            page->Addf("</tr><tr align=\"center\">\n");
        for (int cell = 0; cell < 4; cell++) {
            const char* href = MENU[row][cell][0];
            if (href[0] != '\0')
                page->Addf("<td><a href=\"%s\">%s</a></td>\n", href, MENU[row][cell][1]);
            else if (interface_login_required(connection))
                page->Addf("<td><a href=\"logout\">Log out</a></td>\n");
            else
                page->Addf("<td></td>\n");
        }
    }
    page->Addf("</tr></table></td></tr>\n<tr><td><br></td></tr><tr><td>\n");
}

// The path before the first '?'.
std::string without_query(const char* path) {
    const char* query = strchr(path, '?');
    return query != nullptr ? std::string(path, static_cast<size_t>(query - path)) : path;
}

// "/logout": the session ends, the cookie goes, the login form returns
// (posting to the interface's first page).
void logout_page(CONNECTION_T* connection, HEADER* response, Filebuf* page) {
    interface_logout(connection, response);
    std::string action = without_query(raw_path(connection->request));
    action.erase(action.rfind('/') + 1);
    page->Addf("<p>You are logged out.</p>\n");
    interface_login_form(page, action.c_str());
}

// "/userstats": the statistics of the connection's access rule, as rows of
// a table of their own.
void userstats_page(CONNECTION_T* connection, Filebuf* page) {
    if (connection->user_stats == nullptr)
        return;
    page->Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">\n");
    connection->user_stats->Display(page);
    page->Addf("</table>\n");
}

void html_page(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    const char* raw = raw_path(request);
    const char* path = interface_path(request);

    HEADER* response = answer_header(200, "text/html");
    char date[64];
    if (sync_time_format(time(nullptr), date, sizeof date) != 0)
        response->lines.push_back(HTTP_HEADER{1, "Date", date});

    CGIMap arguments;
    std::string page_path = path;
    if (interface_check_referer(connection)) {
        const char* query = strchr(path, '?');
        if (request->method != nullptr && strcasecmp(request->method, "POST") == 0) {
            interface_posted_arguments(connection, arguments);
        } else if (query != nullptr) {
            arguments.parse(query + 1);
            page_path.assign(path, static_cast<size_t>(query - path));
        }
    }

    Filebuf page;
    page_head(connection, &page);
    if (interface_login_required(connection) &&
        strcasecmp(without_query(path).c_str(), "/logout") == 0) {
        logout_page(connection, response, &page);
    } else if (interface_login(connection, arguments, response, &page)) {
        if (strcasecmp(raw, "/userstats") == 0) {
            userstats_page(connection, &page);
        } else {
            page.Addf("</td></tr><tr><td><br></td></tr>\n");
            menu(connection, &page);
            for (const interface_page_row_t* row = pages; row->path != nullptr; row++)
                if (strcasecmp(page_path.c_str(), row->path) == 0)
                    row->page(&page, arguments, connection);
        }
    }
    page.Addf("</td></tr></table></body></html>\n");
    send_answer(connection, response, &page);
}

} // namespace

void interface_posted_arguments(CONNECTION_T* connection, CGIMap& arguments) {
    Filebuf* posted = connection->body;
    Filebuf* read_now = nullptr;
    if (connection->flags & CONN_BODY_STREAMED) {
        read_now = http_transfer_filebuf(connection, SIDE_CLIENT);
        connection->flags &= ~static_cast<unsigned>(CONN_BODY_STREAMED);
        if (connection->flags & CONN_TRANSFER_FAILED)
            connection->client_keepalive = 0;
        posted = read_now;
    }
    if (posted != nullptr && posted->size > 0)
        arguments.parse(std::string(posted->data, posted->size).c_str());
    delete read_now;
}

int interface_stylesheet(CONNECTION_T* connection, Filebuf* page) {
    return template_section->insert(connection, page, "interface.css");
}

void interface_send_response(CONNECTION_T* connection, Filebuf* page) {
    HEADER* header = answer_header(200, "text/html");
    send_answer(connection, header, page);
    LogEntry& record = connection->log;
    record.status = 200;
    record.size = page->size;
    record.mime = "text/html";
}

// An origin-form request whose path names the interface host.
static bool interface_path_named(const HEADER* request) {
    const char* path = raw_path(request);
    return path[0] == '/' && strncasecmp(path + 1, INTERFACE_HOSTNAME, interface_name_length) == 0;
}

bool interface_addressed(const CONNECTION_T* connection) {
    const HEADER* request = connection->request;
    if (request == nullptr)
        return false;
    if (request->type == REQUEST_TRANSPARENT)
        return interface_path_named(request) || host_header_is_interface(request->host_header);
    return is_interface_name(request->host) || host_header_is_interface(request->host_header);
}

bool interface_request(CONNECTION_T* connection) {
    if (!interface_addressed(connection))
        return false;
    HEADER* request = connection->request;
    if (request->type == REQUEST_TRANSPARENT && !interface_path_named(request))
        request->type = REQUEST_PROXY;
    return true;
}

void interface_handle_request(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    const char* path = interface_path(request);
    if (strncasecmp(path, "/template/", 10) == 0) {
        send_template(connection, path + 10);
        return;
    }
    if ((connection->access & ACCESS_INTERFACE) == 0) {
        refuse(connection);
        return;
    }
    if (path[0] != '/') {
        redirect_to_slash(connection);
        return;
    }
    std::string document = without_query(path);
    if (strcasecmp(document.c_str(), "/xml") == 0) {
        if (export_allowed(connection))
            send_xml(connection);
        return;
    }
    if (strcasecmp(document.c_str(), "/ldapcache") == 0) {
        if (export_allowed(connection))
            send_ldapcache(connection);
        return;
    }
    html_page(connection);
}

