#include "iface/interface.h"

#include <pthread.h>
#include <string.h>
#include <strings.h>

#include <string>

#include <tinyxml2.h>

#include "auth/ldap.h"
#include "auth/password_crypt.h"
#include "config/configfile.h"
#include "config/sync.h"
#include "core/access_log.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "iface/cgimap.h"
#include "iface/ldap_page.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/relay.h"

int interface_stylesheet(CONNECTION_T* connection, Filebuf* page) {
    return template_section->insert(connection, page, "interface.css");
}

void interface_send_response(CONNECTION_T* connection, Filebuf* page) {
    if (send_own_page(connection, 200, "text/html", nullptr, page))
        return;
    LogEntry& record = connection->log;
    record.status = 200;
    record.size = page->size;
    record.mime = "text/html";
}

static const size_t interface_name_length = sizeof INTERFACE_HOSTNAME - 1;

// The rest of an origin-form path "/kestrivan" or "/kestrivan/...": "" or
// "/..."; NULL for any other path.
static const char* after_interface_prefix(const char* path) {
    if (path == nullptr || path[0] != '/' ||
        strncasecmp(path + 1, INTERFACE_HOSTNAME, interface_name_length) != 0)
        return nullptr;
    const char* rest = path + 1 + interface_name_length;
    return rest[0] == '/' || rest[0] == '\0' ? rest : nullptr;
}

// Whether a Host header value names the interface host (with or without a
// port).
static bool host_header_is_interface(const char* host_header) {
    return host_header != nullptr &&
           strncasecmp(host_header, INTERFACE_HOSTNAME, interface_name_length) == 0 &&
           (host_header[interface_name_length] == '\0' || host_header[interface_name_length] == ':');
}

bool interface_addressed(const CONNECTION_T* connection) {
    const HEADER* request = connection->request;
    if (request == nullptr)
        return false;
    if (request->type == REQUEST_TRANSPARENT && after_interface_prefix(request->path) != nullptr)
        return true;
    if (host_header_is_interface(request->host_header))
        return true;
    return request->type == REQUEST_PROXY && request->host != nullptr &&
           strcasecmp(request->host, INTERFACE_HOSTNAME) == 0;
}

bool interface_request(CONNECTION_T* connection) {
    if (!interface_addressed(connection))
        return false;
    HEADER* request = connection->request;
    if (request->type == REQUEST_TRANSPARENT && after_interface_prefix(request->path) != nullptr)
        request->type = REQUEST_PROXY;
    return true;
}

static int page_unknown(CONNECTION_T* connection) {
    return template_section != nullptr ? template_section->send("unknown", connection, 200) : 0;
}

// Pages shown inside the interface frame.
typedef void (*interface_page_t)(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);

struct interface_page_row_t {
    const char* path; // NULL ends the table
    interface_page_t page;
};

static const interface_page_row_t pages[] = {
    {"/ldap", interface_page_ldap},
    {"/password", interface_page_password},
    {nullptr, nullptr},
};

// The interface path of the request: an origin-form request addresses the
// interface as "/kestrivan/<path>", a request for the interface host as
// "/<path>". The query is left on.
static const char* interface_path(const HEADER* request) {
    const char* path = request->path != nullptr && request->path[0] == '/' ? request->path : "/";
    bool host_named = (request->host != nullptr && strcasecmp(request->host, INTERFACE_HOSTNAME) == 0) ||
                      host_header_is_interface(request->host_header);
    const char* rest = host_named ? nullptr : after_interface_prefix(path);
    if (rest != nullptr)
        return rest[0] != '\0' ? rest : "/";
    return path;
}

// Sends a complete answer made here: status 200, the content type,
// Cache-Control "no-cache", Last-Modified when given, Content-Length, and
// the body (not for HEAD). Fills the connection's access-log record.
static void send_answer(CONNECTION_T* connection, const char* content_type,
                        const char* last_modified, Filebuf* body) {
    send_own_page(connection, 200, content_type, last_modified, body);
}

// "/xml": the configuration document, rebuilt from the sections, stamped
// with the time of its last change in universal time (what a slave
// compares with its own stamp).
static void send_xml(CONNECTION_T* connection) {
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
    bool stamped = sync_time_format(changed, stamp, sizeof stamp) != 0;
    send_answer(connection, "text/xml", stamped ? stamp : nullptr, &body);
}

// "/ldapcache": the DN cache for another instance that copies it, stamped
// with the time this instance's cache was last loaded.
static void send_ldapcache(CONNECTION_T* connection) {
    Filebuf body;
    char stamp[64];
    pthread_mutex_lock(&documentlock);
    time_t loaded = ldap_section != nullptr ? ldap_section->dn_cache_loaded : 0;
    pthread_mutex_unlock(&documentlock);
    if (ldap_section != nullptr)
        ldap_section->interface_page_sendldap(&body);
    bool stamped = sync_time_format(loaded, stamp, sizeof stamp) != 0;
    send_answer(connection, "text/xml", stamped ? stamp : nullptr, &body);
}

// A page of the table inside the interface frame: head, style sheet,
// banner and menu around the page's own body.
static void send_page(CONNECTION_T* connection, const interface_page_row_t& row,
                      CGIMap& arguments) {
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
              "\"http://www.w3.org/TR/html4/loose.dtd\">\n<html>\n<head>\n"
              "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\n"
              "<base href=\"http://%s/\">\n",
              INTERFACE_HOSTNAME);
    interface_stylesheet(connection, &page);
    page.Addf("<title>Kestrivan: %s</title>\n</head>\n<body>\n"
              "<table class=\"header\" width=\"100%%\" cellspacing=\"0\" cellpadding=\"4\"><tr>\n"
              "<td><a href=\"ldap\">Ldap</a> | <a href=\"password\">Password</a></td>\n"
              "</tr></table>\n",
              row.path + 1);
    row.page(&page, arguments, connection);
    page.Addf("</body>\n</html>\n");
    send_answer(connection, "text/html", nullptr, &page);
}

void interface_handle_request(CONNECTION_T* connection) {
    if ((connection->access & ACCESS_INTERFACE) == 0) {
        putlog(LOG_SECURITY, "[IP:%s] web interface refused by the access rules",
               connection->client_ip);
        if (template_section != nullptr)
            template_section->send("noaccess", connection, 200);
        return;
    }

    const char* target = interface_path(connection->request);
    const char* query = strchr(target, '?');
    std::string path(target, query != nullptr ? static_cast<size_t>(query - target) : strlen(target));

    if (strcasecmp(path.c_str(), "/xml") == 0) {
        send_xml(connection);
        return;
    }
    if (strcasecmp(path.c_str(), "/ldapcache") == 0) {
        send_ldapcache(connection);
        return;
    }
    for (const interface_page_row_t* row = pages; row->path != nullptr; row++) {
        if (strcasecmp(path.c_str(), row->path) != 0)
            continue;
        // Query arguments first; a posted form's fields replace them.
        CGIMap arguments(query != nullptr ? query + 1 : nullptr);
        Filebuf* posted = connection->body;
        if (posted != nullptr && posted->size > 0)
            arguments.parse(std::string(posted->data, posted->size).c_str());
        send_page(connection, *row, arguments);
        return;
    }
    page_unknown(connection);
}

int show_profiles(CONNECTION_T* connection) { return page_unknown(connection); }
int show_headers(CONNECTION_T* connection) { return page_unknown(connection); }
int show_variables(CONNECTION_T* connection) { return page_unknown(connection); }
int show_proxytest(CONNECTION_T* connection) { return page_unknown(connection); }
int show_htmltree(CONNECTION_T* connection) { return page_unknown(connection); }
int show_filebuf(CONNECTION_T* connection, Filebuf*) { return page_unknown(connection); }
int interface_cookies_show(CONNECTION_T* connection) { return page_unknown(connection); }
int limits_show(CONNECTION_T* connection) { return page_unknown(connection); }
int cache_show(CONNECTION_T* connection) { return page_unknown(connection); }
