#include "http/upstream.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "cache/cache.h"
#include "config/general.h"
#include "core/compat.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/log.h"
#include "core/misc.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/http_text.h"
#include "http/proto_connect.h"
#include "http/url_commands.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/dnscache.h"
#include "net/network.h"
#include "net/network_section.h"
#include "net/relay.h"
#include "net/serverpool.h"
#include "net/socket.h"
#include "net/socks.h"

static const char* client_address(CONNECTION_T* connection) {
    return connection->client_ip != NULL ? connection->client_ip : "-";
}

static bool parent_mode(int mode) {
    return mode == FORWARD_HTTP_PARENT || mode == FORWARD_SOCKS4 || mode == FORWARD_SOCKS5 ||
           mode == FORWARD_CONNECT_PARENT;
}

// The host and port the socket itself connects to.
static const char* connect_host(CONNECTION_T* connection) {
    if (parent_mode(connection->forward_mode) && connection->upstream_host != NULL &&
        connection->upstream_host[0] != '\0')
        return connection->upstream_host;
    return connection->request->host;
}

static int connect_port(CONNECTION_T* connection) {
    return parent_mode(connection->forward_mode) ? connection->upstream_port
                                                 : connection->request->port;
}

static struct in_addr local_address(CONNECTION_T* connection) {
    if (network_section != NULL)
        return network_section->interface_select(connection);
    struct in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return any;
}

upstream_key_t upstream_key(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    upstream_key_t key;
    key.protocol = request->scheme != NULL ? request->scheme : "http";
    int mode = connection->forward_mode;
    if (mode == FORWARD_HTTP_PARENT) {
        key.host = connect_host(connection) != NULL ? connect_host(connection) : "";
        key.port = connection->upstream_port;
    } else {
        key.host = request->host != NULL ? request->host : "";
        key.port = request->port;
    }
    key.user = request->user;
    key.password = request->password;
    key.tunnel_id = connection->tunnel_id;

    // A plain direct connection from the default local address has the
    // empty route, as every pool user that does not know routes parks it.
    std::string route;
    switch (mode) {
    case FORWARD_HTTP_PARENT:
        route = "parent";
        break;
    case FORWARD_SOCKS4:
    case FORWARD_SOCKS5:
    case FORWARD_CONNECT_PARENT: {
        const char* via = connect_host(connection);
        route = mode == FORWARD_SOCKS4 ? "socks4 " : mode == FORWARD_SOCKS5 ? "socks5 " : "tunnel ";
        route += std::string(via != NULL ? via : "") + ":" +
                 std::to_string(connection->upstream_port);
        break;
    }
    default:
        break;
    }
    struct in_addr bound = local_address(connection);
    if (bound.s_addr != htonl(INADDR_ANY)) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &bound, text, sizeof text);
        route += route.empty() ? "from " : " from ";
        route += text;
    }
    if (connection->flags & CONN_SSL_UPSTREAM)
        route += route.empty() ? "tls" : " tls";
    key.route = route;
    return key;
}

int upstream_park(CONNECTION_T* connection) {
    if (connection->server == NULL || connection->server_keepalive != 1 ||
        (connection->flags & CONN_TRANSFER_FAILED) || connection->request == NULL ||
        global == NULL || global->serverpool == NULL)
        return 0;
    upstream_key_t key = upstream_key(connection);
    global->serverpool->Add(connection->server, key.protocol.c_str(), key.host.c_str(), key.port,
                            key.user, key.password, key.tunnel_id, key.route.c_str());
    connection->server = NULL;
    return 1;
}

// ---- Opening the upstream -----------------------------------------------------

// Opens a new upstream connection by the forward mode; the descriptor or a
// negative code.
static int connect_by_mode(CONNECTION_T* connection) {
    int timeout = general_section != NULL ? general_section->ctimeout_get(connection) : 60;
    struct in_addr bound = local_address(connection);
    int mode = connection->forward_mode;
    const char* host = connect_host(connection);
    int port = connect_port(connection);

    int fd = net_connect(host, port, bound, timeout);
    if (fd < 0) {
        if (mode == FORWARD_HTTP_PARENT)
            putlog(LOG_ERROR, "network: [IP:%s]connection to proxy server failed",
                   client_address(connection));
        return fd;
    }
    connection->server = new Socket(fd);

    int opened = 1;
    if (mode == FORWARD_SOCKS4 || mode == FORWARD_SOCKS5) {
        opened = mode == FORWARD_SOCKS4 ? proxy_socks4(connection) : proxy_socks5(connection);
        if (opened != 1)
            putlog(LOG_ERROR, "network: [IP:%s] connection to %s server failed",
                   client_address(connection), mode == FORWARD_SOCKS4 ? "socks4" : "socks5");
    } else if (mode == FORWARD_CONNECT_PARENT) {
        if (proxy_connect(connection) != 1) {
            putlog(LOG_ERROR, "network: [IP:%s] connection to proxy failed",
                   client_address(connection));
            opened = -1;
        }
    }
    if (opened != 1) {
        delete connection->server;
        connection->server = NULL;
        // The handshake's own code says which page the client gets.
        return opened < 0 ? opened : -1;
    }
    return fd;
}

// protocol_start, with the pool asked only when `may_pool` is true.
static int open_upstream(CONNECTION_T* connection, bool may_pool);

int protocol_start(CONNECTION_T* connection) { return open_upstream(connection, true); }

static int open_upstream(CONNECTION_T* connection, bool may_pool) {
    HEADER* request = connection->request;
    connection->server_keepalive = 0;
    int mode = connection->forward_mode;
    if (mode == FORWARD_SOCKS5 || mode == FORWARD_DIRECT) {
        connection->log.peer = request->host != NULL ? request->host : "-";
        connection->log.set_peercode(PEERCODE_DIRECT);
    } else {
        connection->log.peer = connection->upstream_host != NULL ? connection->upstream_host : "-";
    }

    // A request with a body is never sent over a pooled socket: the server
    // may have closed it, and the body could not be sent again.
    bool has_body = (request->flags & HEADER_HAS_LENGTH) || request->chunked;
    if (may_pool && request->type != REQUEST_CONNECT && !has_body && global != NULL &&
        global->serverpool != NULL) {
        upstream_key_t key = upstream_key(connection);
        Socket* pooled =
            global->serverpool->Find(key.protocol.c_str(), key.host.c_str(), key.port, key.user,
                                     key.password, key.tunnel_id, key.route.c_str());
        if (pooled != NULL) {
            connection->server = pooled;
            connection->flags |= CONN_UPSTREAM_REUSED;
            connection->server_keepalive = 1;
            return pooled->fd;
        }
    }

    int fd = connect_by_mode(connection);
    if (fd < 0)
        return fd;

    if (connection->flags & CONN_SSL_UPSTREAM) {
        // TLS with the host the socket speaks to: the HTTP parent itself, or
        // the origin at the end of a SOCKS route or tunnel.
        const char* peer = mode == FORWARD_HTTP_PARENT ? connect_host(connection) : request->host;
        if (!connection->server->Encrypt(1, peer)) {
            delete connection->server;
            connection->server = NULL;
            return -1;
        }
    }
    return fd;
}

int protocol_reconnect(CONNECTION_T* connection) {
    delete connection->server;
    connection->server = NULL;
    connection->flags &= ~CONN_UPSTREAM_REUSED;
    if (connection->client != NULL && !(connection->flags & CONN_NO_CLIENT))
        net_drain(connection->client,
                  general_section != NULL ? general_section->timeout_get(connection) : 60);
    return protocol_start(connection);
}

// Answers the client with an error page for an upstream that failed, and
// records it with the same status: 503 could not be reached, 504 did not
// answer in time, 502 answered with a header that cannot be used.
// The record keeps the status the page went out with: a template entry may
// name its own.
static void answer_upstream_failure(CONNECTION_T* connection, const char* page, int status) {
    if (template_section == NULL || template_section->send(page, connection, status) == 0)
        connection->log.status = status;
    connection->log.set_cachecode(CACHECODE_UNSPECIFIED);
}

static void answer_unreachable(CONNECTION_T* connection, const char* page) {
    answer_upstream_failure(connection, page, 503);
}

static long long monotonic_milliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The whole response header, or NULL when there is none: *failure then
// tells what the client is to get - 504 when the time ran out, 502 for a
// header cut short by the server or too long to be a header, 0 when the
// server closed without sending anything.
static char* response_header_get(CONNECTION_T* connection, int timeout, int* failure) {
    long long start = monotonic_milliseconds();
    int refusal = 0;
    char* text = header_get(connection, SIDE_SERVER, timeout, &refusal);
    *failure = 0;
    bool timed_out = timeout > 0 && monotonic_milliseconds() - start >= (long long)timeout * 1000;
    if (text != NULL) {
        // A whole block ends with the line feed of its last line and the
        // "\r\n" put in place of the empty line.
        size_t length = strlen(text);
        if (length >= 3 && memcmp(text + length - 3, "\n\r\n", 3) == 0)
            return text;
        free(text);
        *failure = timed_out ? 504 : 502;
        return NULL;
    }
    if (refusal != 0)
        *failure = 502;
    else if (timed_out)
        *failure = 504;
    else if (connection->server != NULL && connection->server->read_pending > 0)
        *failure = 502; // bytes that never made a header line
    return NULL;
}

// The answer to a response header that did not come.
static void answer_no_response(CONNECTION_T* connection, int failure) {
    if (failure == 502)
        answer_upstream_failure(connection, "badresponse", 502);
    else if (failure == 504)
        answer_upstream_failure(connection, "noconnect", 504);
    else
        answer_unreachable(connection, "noconnect");
}

// Whether a request that got no answer may go once more, on a new
// connection: only when its socket came from the pool and the server turned
// out to have closed it before any byte of the answer came (it dropped the
// idle connection just as the request went), and only a request without a
// body that may safely be repeated. A server that stayed silent until the
// time-out may still be working on the first one: nothing goes again.
static bool may_send_again(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (!(connection->flags & CONN_UPSTREAM_REUSED) ||
        (connection->flags & (CONN_PARENT_AUTH_TRIED | CONN_BODY_STREAMED)) ||
        (request->flags & HEADER_HAS_LENGTH) || request->chunked || request->method == NULL)
        return false;
    if (strcmp(request->method, "GET") != 0 && strcmp(request->method, "HEAD") != 0 &&
        strcmp(request->method, "OPTIONS") != 0)
        return false;
    return connection->server != NULL && connection->server->PeerClosed();
}

char* header_get_reconnect(CONNECTION_T* connection, int timeout) {
    int failure = 0;
    char* text = response_header_get(connection, timeout, &failure);
    if (text != NULL)
        return text;

    if (failure == 0 && may_send_again(connection)) {
        delete connection->server;
        connection->server = NULL;
        connection->flags &= ~CONN_UPSTREAM_REUSED;
        int opened = open_upstream(connection, false);
        if (opened < 0) {
            answer_unreachable(connection, error_to_template(opened));
            return NULL;
        }
        int mode = connection->forward_mode == FORWARD_HTTP_PARENT ? HEADER_SEND_PARENT
                                                                    : HEADER_SEND_ORIGIN;
        header_send(connection->request, connection, SIDE_SERVER, mode);
        text = response_header_get(connection, timeout, &failure);
        if (text != NULL)
            return text;
    } else if (failure == 0 && !(connection->flags & CONN_UPSTREAM_REUSED)) {
        net_dns_purge(connection->request->host);
    }
    if (connection->flags & CONN_BODY_STREAMED) {
        // The body is gone upstream and cannot be sent again; the client
        // connection ends after the page.
        putlog(LOG_WARNING, "request: [IP:%s] server dropped connection during direct POST",
               client_address(connection));
        connection->client_keepalive = 0;
    }
    connection->server_keepalive = 0;
    answer_no_response(connection, failure);
    return NULL;
}

// ---- Keep-alive -------------------------------------------------------------------

void keepalive_check_client(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    HEADER* response = connection->response;
    bool keep = request->type != REQUEST_CONNECT && request->keep_alive != 0 &&
                request->proxy_keep_alive != 0 &&
                (request->proxy_keep_alive == 1 || request->keep_alive == 1 ||
                 (request->version == HTTP_VERSION_11 && response != NULL &&
                  response->keep_alive == 1));
    connection->client_keepalive = keep ? 1 : 0;
}

void keepalive_check_server(CONNECTION_T* connection) {
    HEADER* response = connection->response;
    if ((response->flags & HEADER_HAS_LENGTH) || response->chunked) {
        bool keep = response->keep_alive == 1 || response->proxy_keep_alive == 1 ||
                    (response->version == HTTP_VERSION_11 && response->keep_alive != 0 &&
                     response->proxy_keep_alive != 0);
        connection->server_keepalive = keep ? 1 : 0;
    } else {
        // The body ends with the connection: neither side can be reused.
        connection->client_keepalive = 0;
        connection->server_keepalive = 0;
    }
    putlog(LOG_DEBUG, "protocol: [IP:%s] keepalive_server = %d", client_address(connection),
           connection->server_keepalive);
}

// ---- Buffering --------------------------------------------------------------------

static bool url_command_present(CONNECTION_T* connection, const char* name) {
    return url_command_find(connection->url_commands, name) != NULL;
}

int accepts_encoded_content(CONNECTION_T* connection) {
    const char* accepted = connection->request->accept_encoding;
    if (!(connection->flags & CONN_ENCODING_ASKED) && accepted != NULL &&
        (strcasestr(accepted, "gzip") != NULL || strcasestr(accepted, "deflate") != NULL))
        return 1;
    putlog(LOG_DEBUG, "request: [IP:%s] client doesn't support encoded content",
           client_address(connection));
    return 0;
}

int accepts_response_encoding(CONNECTION_T* connection, const char* coding) {
    if (coding == NULL || coding[0] == '\0')
        return 1;
    const char* accepted = connection->request->accept_encoding;
    return !(connection->flags & CONN_ENCODING_ASKED) && accepted != NULL &&
                   content_coding_accepted(accepted, coding)
               ? 1
               : 0;
}

int cached_encoding_servable(CONNECTION_T* connection, CACHEMAP* object) {
    std::string coding = cache_section->get_content_encoding(object);
    if (accepts_response_encoding(connection, coding.c_str()))
        return 1;
    // Otherwise the body is decoded in a buffer (buffer_check), which only
    // works for a coding this proxy decodes and a body the buffer holds -
    // known only once the object is whole.
    if (cache_section->flag_get(object) & CACHE_WRITING)
        return 0;
    bool decodable = strcasestr(coding.c_str(), "gzip") != NULL ||
                     strcasestr(coding.c_str(), "deflate") != NULL;
    unsigned limit = general_section != NULL ? general_section->maxdbuffer_get(connection) : 0;
    return decodable && (cache_section->get_cachemap_size(object) <= limit ||
                         url_command_present(connection, "process"))
               ? 1
               : 0;
}

int buffer_check(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    HEADER* response = connection->response;
    unsigned limit = general_section != NULL ? general_section->maxdbuffer_get(connection) : 0;
    if ((response->flags & HEADER_HAS_LENGTH) && response->content_length > limit &&
        !url_command_present(connection, "process")) {
        putlog(LOG_DEBUG,
               "request: warn: [IP:%s] response exceeds maximum download buffer size",
               client_address(connection));
        return 0;
    }
    if (connection->flags & CONN_PREFETCH)
        return connection->htmlstream != NULL && response->content_encoding != NULL ? 1 : 0;
    // A body in a coding the client did not offer is decoded for it.
    if (!accepts_response_encoding(connection, response->content_encoding))
        return 1;
    if (processors.Execute(PROCESSOR_BUFFCHECK, connection, NULL) == 1)
        return 1;

    // From here on the body need not pass the content processors.
    connection->flags &= ~CONN_PROCESSING;
    if (url_command_present(connection, "raw") || url_command_present(connection, "htmltree") ||
        (response->content_encoding != NULL && connection->htmlstream != NULL))
        return 1;
    if (general_section != NULL && general_section->compressout_get(connection) == 1 &&
        request->accept_encoding != NULL && response->content_type != NULL &&
        response->content_encoding == NULL && accepts_encoded_content(connection) &&
        general_section->encodemime_check(connection, response->content_type))
        return 1;
    return 0;
}

void buffertimeout_set(CONNECTION_T* connection) {
    int seconds = general_section != NULL ? general_section->bufferwait_get(connection) : 0;
    putlog(LOG_DEBUG, "request: [IP:%s] buffer timeout: %u", client_address(connection),
           static_cast<unsigned>(seconds));
    connection->buffer_deadline = seconds != 0 ? time(NULL) + seconds : 0;
}

void buffertimeout_check(CONNECTION_T* connection) {
    unsigned needed = CONN_BUFFERING | CONN_CACHE_STORE;
    if (connection->client == NULL || (connection->flags & CONN_NO_CLIENT) ||
        (connection->flags & needed) != needed || connection->cachemap == NULL ||
        connection->buffer_deadline == 0 || time(NULL) < connection->buffer_deadline)
        return;
    if (cache_section != NULL) {
        cache_section->flag_set(connection->cachemap, CACHE_BUFFERWAIT | CACHE_PREFETCHED);
        cache_section->send_status(connection, connection->cachemap);
    }
    connection->client_keepalive = 0;
    delete connection->client;
    connection->client = NULL;
    connection->flags |= CONN_NO_CLIENT;
}

// ---- Processor stages ---------------------------------------------------------------

int process_request(CONNECTION_T* connection, Filebuf* body) {
    processors.Execute(PROCESSOR_AUTH, connection, body);
    if ((connection->flags & CONN_TRANSFER_FAILED) && connection->response == NULL) {
        // The request the login dialogue read in place of the first did not
        // bring its whole body: a part of it never goes upstream as whole.
        connection->client_keepalive = 0;
        return 0;
    }
    if (connection->user != NULL) {
        if (global != NULL) {
            global->stats.IncrementOrAdd("users", connection->user);
        }
        connection->log.username = connection->user;
        connection->variables.erase("USERNAME");
        connection->variables["USERNAME"] = connection->user;
    }
    if (connection->response == NULL) {
        processors.Execute(PROCESSOR_REQMOD, connection, body);
        if (connection->response == NULL) {
            HEADER* request = connection->request;
            // A streamed body goes upstream as it arrives, in its own
            // framing; a buffered one (chunks already taken apart) is sent
            // with its length, an empty one too, so that the server never
            // waits for chunks that will not come.
            if (!(connection->flags & CONN_BODY_STREAMED)) {
                bool had_body = request->chunked || (request->flags & HEADER_HAS_LENGTH);
                request->chunked = 0;
                if (body != NULL && body->size > 0) {
                    request->flags |= HEADER_HAS_LENGTH;
                    request->content_length = body->size;
                } else if (had_body) {
                    request->flags |= HEADER_HAS_LENGTH;
                    request->content_length = 0;
                }
            }
            return 1;
        }
    }
    HEADER* response = connection->response;
    response->content_length = connection->body != NULL ? connection->body->size : 0;
    response->flags |= HEADER_HAS_LENGTH;
    response->chunked = 0;
    header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    if (!(connection->flags & CONN_HEAD) && connection->body != NULL)
        net_filebuf_send(connection->body, connection, SIDE_CLIENT);
    http_header_free(response);
    connection->response = NULL;
    return 0;
}

int process_response(CONNECTION_T* connection, Filebuf* body) {
    if (processors.Execute(PROCESSOR_RESPCHECK, connection, body) == 1) {
        connection->log.set_cachecode(CACHECODE_TCP_DENIED);
        connection->log.status = 403;
        return 0;
    }
    processors.Execute(PROCESSOR_RESPMOD, connection, body);
    // A body that a scanner could not judge passed unscanned: its cached
    // copy must be scanned again rather than trusted.
    if (connection->cachemap != NULL && cache_section != NULL &&
        !(connection->flags & CONN_SCAN_INCOMPLETE))
        cache_section->flag_set(connection->cachemap, CACHE_CLEAN);
    return 1;
}

int transfer_limit_check(CONNECTION_T* connection) {
    HEADER* response = connection->response;
    if (!(response->flags & HEADER_HAS_LENGTH))
        return 1;
    if (connection->cachemap != NULL && !(connection->flags & CONN_LIMIT_COUNT_CACHED))
        return 1;
    uint64_t allowance = static_cast<uint64_t>(connection->down_allowance);
    if (static_cast<uint64_t>(response->content_length) <= allowance)
        return 1;

    putlog(LOG_WARNING, "limits: [IP:%s] transfer would exceed transfer limit",
           client_address(connection));
    std::string amount = std::to_string(allowance);
    connection->variables.erase("FILTER");
    connection->variables.erase("REASON");
    connection->variables.erase("LIMIT_TYPE");
    connection->variables["FILTER"] = "Download Limits";
    connection->variables["REASON"] = amount;
    connection->variables["LIMIT_TYPE"] = "Download Limit";
    connection->variables["DOWNLOADLIMIT"] = amount;
    connection->client_keepalive = 0;
    bool sent = false;
    if (template_section != NULL)
        sent = template_section->send("downloadlimit", connection, 403) == 1;
    connection->log.set_cachecode(CACHECODE_TCP_DENIED);
    connection->log.set_peercode(PEERCODE_DIRECT);
    connection->log.peer = "kestrivan";
    if (!sent)
        connection->log.status = 403;
    connection->log.size = static_cast<int64_t>(response->content_length);
    connection->log.filter_name = "limit_section";
    connection->log.filtering_reason = amount;
    connection->log.Write();
    connection->log.apache_Write();
    return 0;
}

// ---- Self-test ----------------------------------------------------------------------

void proxy_test(CONNECTION_T* connection) {
    if (connection->server == NULL)
        return;
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    if (getsockname(connection->server->fd, reinterpret_cast<struct sockaddr*>(&local), &length) ==
            -1 ||
        local.sin_family != AF_INET)
        return;
    int listener = s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener == -1)
        return;
    local.sin_port = 0;
    length = sizeof local;
    if (bind(listener, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == -1 ||
        listen(listener, 1) == -1 ||
        getsockname(listener, reinterpret_cast<struct sockaddr*>(&local), &length) == -1) {
        close(listener);
        return;
    }

    HEADER* request = connection->request;
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
    free(request->host);
    request->host = xstrdup(address);
    free(request->path);
    request->path = xstrdup("/");
    if (request->host == NULL || request->path == NULL)
        FATAL_ALLOC("src/upstream", sizeof address);
    request->port = ntohs(local.sin_port);
    header_complete(request);
    header_send(request, connection, SIDE_SERVER, HEADER_SEND_PARENT);

    int timeout = general_section != NULL ? general_section->timeout_get(connection) : 60;
    struct pollfd entry = {listener, POLLIN, 0};
    int ready;
    do
        ready = poll(&entry, 1, timeout * 1000);
    while (ready == -1 && errno == EINTR);
    if (ready != 1) {
        close(listener);
        return;
    }
    int accepted = s_accept(listener, NULL, NULL);
    close(listener);
    if (accepted == -1)
        return;
    Socket* upstream = connection->server;
    connection->server = new Socket(accepted);
    char* text = header_get(connection, SIDE_SERVER, timeout);
    if (text != NULL) {
        http_header_free(connection->response);
        connection->response = http_header_parse_request(text);
        free(text);
    }
    delete connection->server;
    connection->server = upstream;
    connection->server_keepalive = 0;
}
