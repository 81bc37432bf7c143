#include "interface.h"

#include "templates.h"

int interface_stylesheet(CONNECTION_T* connection, Filebuf* page) {
    return template_section->insert(connection, page, "interface.css");
}

#include <string.h>
#include <strings.h>

#include "connection.h"
#include "header.h"

bool interface_request(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    static const size_t name_length = sizeof INTERFACE_HOSTNAME - 1;
    if (request->type == REQUEST_TRANSPARENT && request->path != nullptr &&
        request->path[0] == '/' &&
        strncasecmp(request->path + 1, INTERFACE_HOSTNAME, name_length) == 0 &&
        (request->path[1 + name_length] == '/' || request->path[1 + name_length] == '\0')) {
        request->type = REQUEST_PROXY;
        return true;
    }
    const char* host_header = request->host_header;
    if (host_header != nullptr && strncasecmp(host_header, INTERFACE_HOSTNAME, name_length) == 0 &&
        (host_header[name_length] == '\0' || host_header[name_length] == ':'))
        return true;
    return request->type == REQUEST_PROXY && request->host != nullptr &&
           strcasecmp(request->host, INTERFACE_HOSTNAME) == 0;
}

static int page_unknown(CONNECTION_T* connection) {
    return template_section != nullptr ? template_section->send("unknown", connection, 200) : 0;
}

void interface_handle_request(CONNECTION_T* connection) {
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
