#include "http/proto_connect.h"

#include <stdio.h>
#include <stdlib.h>

#include "auth/parent_auth.h"
#include "config/general.h"
#include "core/log.h"
#include "http/header.h"
#include "http/header_io.h"
#include "iface/stats.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/relay.h"
#include "net/socket.h"

namespace {

const char ESTABLISHED[] = "HTTP/1.1 200 Connection Established\r\n\r\n";

const char* client_address(CONNECTION_T* connection) {
    return connection->client_ip != NULL ? connection->client_ip : "-";
}

int io_timeout(CONNECTION_T* connection) {
    return general_section != NULL ? general_section->timeout_get(connection) : 60;
}

// Reads and parses the parent's answer into CONNECTION_T::response (the
// previous one freed); false when none came or it does not parse.
bool answer_read(CONNECTION_T* connection) {
    http_header_free(connection->response);
    connection->response = NULL;
    char* text = header_get(connection, SIDE_SERVER, io_timeout(connection));
    if (text == NULL)
        return false;
    connection->response = http_header_parse_response(text);
    free(text);
    return connection->response != NULL;
}

bool success(const HEADER* answer) { return answer->status >= 200 && answer->status < 300; }

// A 407 the proxy may answer: the first of the request, with credentials of
// the forward rule to answer it with.
bool answerable_407(CONNECTION_T* connection) {
    return connection->response->status == 407 &&
           !(connection->flags & CONN_PARENT_AUTH_TRIED) && connection->parent_user != NULL;
}

// A 200 would tell the client its tunnel is open: the page goes with 503.
void answer_noconnect(CONNECTION_T* connection) {
    if (template_section == NULL || template_section->send("noconnect", connection, 503) == 0)
        connection->log.status = 503;
    connection->log.set_cachecode(CACHECODE_UNSPECIFIED);
}

// Asks the HTTP parent for the client's tunnel; true once it answered 2xx.
bool parent_tunnel_open(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    header_send(request, connection, SIDE_SERVER, HEADER_SEND_PARENT);
    for (;;) {
        if (!answer_read(connection)) {
            putlog(LOG_REQUEST, "error: [IP:%s] failed CONNECT to %s:%d",
                   client_address(connection), request->host, request->port);
            return false;
        }
        if (success(connection->response))
            return true;
        if (answerable_407(connection) && proxy_authenticate(connection) == 1) {
            putlog(LOG_DEBUG, "request: [IP:%s] authentication required by server for CONNECT to %s:%d",
                   client_address(connection), request->host, request->port);
            connection->flags |= CONN_PARENT_AUTH_TRIED;
            continue;
        }
        putlog(LOG_ERROR, "request: [IP:%s] failed CONNECT to %s:%d", client_address(connection),
               request->host, request->port);
        return false;
    }
}

} // namespace

int protocol_connect(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    putlog(LOG_REQUEST, "CONNECT [IP:%s] %s:%d", client_address(connection), request->host,
           request->port);
    statincr_connectrequests(connection);

    bool open = connection->forward_mode != FORWARD_HTTP_PARENT || parent_tunnel_open(connection);
    if (open && connection->client != NULL) {
        connection->client->Write(ESTABLISHED, static_cast<int>(sizeof ESTABLISHED - 1));
        connection->client->Flush();
        putlog(LOG_DEBUG, "request: [IP:%s] established CONNECT to %s:%d",
               client_address(connection), request->host, request->port);
        connection->log.status = 200;
        int relayed = net_proxy(connection, -1);
        if (relayed > 0)
            connection->log.size = relayed;
    } else if (!open) {
        answer_noconnect(connection);
    }

    connection->client_keepalive = 0;
    http_header_free(connection->response);
    connection->response = NULL;
    connection->log.Write();
    connection->log.apache_Write();
    return 0;
}

int proxy_connect(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    char line[600];
    snprintf(line, sizeof line, "CONNECT %s:%d HTTP/1.1\r\n\r\n",
             request->host != NULL ? request->host : "", request->port);
    HEADER* tunnel = http_header_parse_request(line);
    if (tunnel == NULL)
        return -1;

    connection->request = tunnel;
    header_send(tunnel, connection, SIDE_SERVER, HEADER_SEND_PARENT);
    int result = -1;
    while (answer_read(connection)) {
        if (answerable_407(connection) && proxy_authenticate(connection) == 1) {
            putlog(LOG_DEBUG,
                   "request: [IP:%s]authentication required by proxy server for CONNECT to %s:%d",
                   client_address(connection), tunnel->host, tunnel->port);
            connection->flags |= CONN_PARENT_AUTH_TRIED;
            continue;
        }
        // Only a 2xx opens the tunnel: anything else would send the request
        // to the parent itself.
        if (success(connection->response))
            result = 1;
        else
            putlog(LOG_ERROR, "network: [IP:%s] parent refused CONNECT to %s:%d with %d",
                   client_address(connection), tunnel->host, tunnel->port,
                   connection->response->status);
        break;
    }
    http_header_free(connection->response);
    connection->response = NULL;
    connection->request = request;
    http_header_free(tunnel);
    return result;
}
