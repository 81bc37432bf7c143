#include "protocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "connection.h"
#include "general.h"
#include "http_text.h"
#include "log.h"
#include "mem.h"
#include "socket.h"
#include "threads.h"

// A header of more lines than this is refused.
static const int HEADER_LINES_MAX = 100;

static const char NOT_IMPLEMENTED_PAGE[] =
    "<html><head><title>501 Not Implemented</title></head>\n"
    "<body><h1>Not Implemented</h1>\n"
    "<p>This proxy does not forward requests yet.</p></body></html>\n";

struct request_summary {
    bool http11;
    bool origin_form;
    bool head;
    bool close;
    bool keep_alive;
    bool has_body;
};

// Caller-side slot bookkeeping of the request road: the slot shows the
// worker serving and what it serves.
static void slot_serving(CONNECTION_T* connection) {
    int slot = connection->thread_slot;
    pthread_mutex_lock(&threadlistlock);
    if (slot >= 0 && slot < THREAD_TABLE_SIZE) {
        threads[slot].state = THREAD_SERVING;
        threads[slot].requests = connection->requests;
        free(threads[slot].ip);
        threads[slot].ip = xstrdup(connection->client_ip);
    }
    pthread_mutex_unlock(&threadlistlock);
}

static void header_line(request_summary* request, char* line) {
    char* colon = strchr(line, ':');
    if (colon == nullptr)
        return;
    *colon = '\0';
    const char* value = colon + 1;
    if (strcasecmp(line, "Connection") == 0 || strcasecmp(line, "Proxy-Connection") == 0) {
        if (strcasestr(value, "close") != nullptr)
            request->close = true;
        if (strcasestr(value, "keep-alive") != nullptr)
            request->keep_alive = true;
    } else if (strcasecmp(line, "Content-Length") == 0) {
        if (strtoll(value, nullptr, 10) != 0)
            request->has_body = true;
    } else if (strcasecmp(line, "Transfer-Encoding") == 0) {
        request->has_body = true;
    }
}

// Reads the request header; false when none came (time-out, end of stream,
// a line without end) or it is not a request.
static bool read_request(Socket* client, int wait, request_summary* request) {
    char line[8192];
    bool have_request_line = false;
    for (int lines = 0; lines <= HEADER_LINES_MAX; lines++) {
        int got = client->GetLine(line, sizeof line, wait);
        if (got <= 0)
            return false;
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0') {
            if (have_request_line)
                return true;
            continue;
        }
        if (have_request_line) {
            header_line(request, line);
            continue;
        }
        char* target = strchr(line, ' ');
        char* version = target != nullptr ? strrchr(target + 1, ' ') : nullptr;
        if (version == nullptr || strncmp(version + 1, "HTTP/", 5) != 0)
            return false;
        request->http11 = strcmp(version + 1, "HTTP/1.0") != 0;
        request->origin_form = target[1] == '/';
        request->head = strncasecmp(line, "HEAD ", 5) == 0;
        have_request_line = true;
    }
    return false;
}

void handle_request(CONNECTION_T* connection) {
    slot_serving(connection);
    Socket* client = connection->client;
    if (connection->requests == 0)
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ", client->fd,
               connection->client_ip, connection->port);
    int wait = 60;
    if (general_section != nullptr)
        wait = connection->requests > 0 ? general_section->keeptimeout_get(connection)
                                        : general_section->timeout_get(connection);

    request_summary request = {};
    if (!read_request(client, wait, &request)) {
        // No request came, so none is counted and nothing is answered.
        connection->flags |= CONN_NO_CLIENT;
        connection->client_keepalive = 0;
        if (connection->requests == 0)
            putlog(LOG_WARNING, "request: timeout waiting for header from %s",
                   connection->client_ip);
        return;
    }
    bool keep = request.http11 ? !request.close : (request.keep_alive && !request.close);
    connection->client_keepalive = keep && !request.has_body ? 1 : 0;

    const int status = 501;
    char answer[1024];
    int length = snprintf(answer, sizeof answer,
                          "HTTP/1.1 %d %s\r\n"
                          "Content-Type: text/html\r\n"
                          "Content-Length: %zu\r\n"
                          "%s: %s\r\n\r\n%s",
                          status, code_to_error(status), sizeof NOT_IMPLEMENTED_PAGE - 1,
                          request.origin_form ? "Connection" : "Proxy-Connection",
                          connection->client_keepalive ? "keep-alive" : "close",
                          request.head ? "" : NOT_IMPLEMENTED_PAGE);
    client->Write(answer, length);
    client->Flush();
}

void bypass_check(CONNECTION_T*) {}
