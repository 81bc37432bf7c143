// One REQMOD or RESPMOD exchange with an ICAP service and the installation
// of its reply; see icap.h for the contract.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "auth/base64.h"
#include "config/general.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/proto_http.h"
#include "icap/icap.h"
#include "net/connection.h"
#include "net/network.h"
#include "net/relay.h"
#include "net/serverpool.h"
#include "net/socket.h"

namespace {

// Interim replies taken before a final one; a server that sends "100
// Continue" for ever cannot hold the request longer.
constexpr int ICAP_INTERIM_MAX = 8;

const char* method_word(int mode) {
    return mode == ICAP_MODE_RESPMOD ? "RESPMOD" : "REQMOD";
}

int io_timeout(CONNECTION_T* connection) {
    int timeout = general_section != NULL ? general_section->timeout_get(connection) : 60;
    return timeout > 0 ? timeout : 60;
}

void add_line(HEADER* header, const char* name, const std::string& value) {
    HTTP_HEADER line;
    line.passthrough = 1;
    line.name = name;
    line.value = value;
    header->lines.push_back(line);
}

char* copy(const std::string& text) {
    char* result = xstrdup(text.c_str());
    if (result == NULL)
        FATAL_ALLOC("modules/icap", text.size() + 1);
    return result;
}

// The ICAP request header (once per exchange; every attempt sends it).
HEADER* request_header(CONNECTION_T* connection, int mode, const std::string& host,
                       const std::string& service, unsigned port, bool with_preview,
                       unsigned preview, const std::string& encapsulated) {
    HEADER* header = header_new();
    header->type = REQUEST_ICAP;
    header->method = copy(method_word(mode));
    header->scheme = copy("icap");
    header->host = copy(host);
    header->path = copy(service);
    header->port = static_cast<int>(port);
    header->encapsulated = copy(encapsulated);
    add_line(header, "X-Client-IP", connection->client_ip != NULL ? connection->client_ip : "");
    if (connection->user != NULL) {
        std::string user = std::string("Local://") + connection->user;
        if (user.size() > 255)
            user.resize(255);
        std::string encoded(base64_encoded_size(user.size()), '\0');
        to64frombits(&encoded[0], reinterpret_cast<const unsigned char*>(user.data()),
                     user.size());
        encoded.resize(strlen(encoded.c_str()));
        add_line(header, "X-Authenticated-User", encoded);
    }
    if (with_preview)
        add_line(header, "Preview", std::to_string(preview));
    add_line(header, "Allow", "204");
    header_complete(header);
    return header;
}

// The text is a whole header block (it ends with its empty line).
bool block_complete(const char* text) {
    size_t length = strlen(text);
    return (length >= 2 && text[length - 1] == '\n' && text[length - 2] == '\n') ||
           (length >= 4 && strcmp(text + length - 4, "\r\n\r\n") == 0);
}

// The server has closed the socket (end of stream, or reset) and sent
// nothing that is still unread.
bool peer_closed(Socket* socket) {
    if (socket->read_pending != 0)
        return false;
    struct pollfd entry = {socket->fd, POLLIN, 0};
    if (poll(&entry, 1, 0) != 1)
        return false;
    char byte;
    ssize_t got = recv(socket->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got == -1 && errno != EAGAIN && errno != EINTR);
}

// A pooled socket to the server that the server has not closed meanwhile,
// or a fresh connection; NULL when none can be had.
Socket* take_socket(CONNECTION_T* connection, const std::string& host, unsigned port,
                    bool* pooled) {
    if (global != NULL && global->serverpool != NULL) {
        for (;;) {
            Socket* socket = global->serverpool->Find("icap", host.c_str(), static_cast<int>(port),
                                                      NULL, NULL, TUNNEL_ID_NONE);
            if (socket == NULL)
                break;
            struct pollfd entry = {socket->fd, POLLIN, 0};
            if (socket->read_pending == 0 && poll(&entry, 1, 0) == 0) {
                *pooled = true;
                return socket;
            }
            // Closed by the server, or holding bytes nobody asked for.
            delete socket;
        }
    }
    *pooled = false;
    int ctimeout = general_section != NULL ? general_section->ctimeout_get(connection) : 60;
    int fd = net_connect(host.c_str(), static_cast<int>(port), ctimeout);
    return fd < 0 ? NULL : new Socket(fd);
}

enum attempt_result { ATTEMPT_REPLY, ATTEMPT_RETRY, ATTEMPT_FAILED };

// What one attempt sends and how.
struct Outgoing {
    const Filebuf* head; // ICAP header and the encapsulated headers
    const char* body;
    size_t size;         // body bytes to send (0: no body part)
    bool with_preview;
    size_t preview;      // bytes of the preview when with_preview
    const char* method;
};

// Sends the request (and the rest of the body after "100 Continue") and
// waits for the final reply, which goes to *reply.
attempt_result attempt(CONNECTION_T* connection, const Outgoing& out, bool pooled,
                       HEADER** reply) {
    Socket* socket = connection->server;
    int timeout = io_timeout(connection);
    size_t first = out.with_preview ? std::min(out.size, out.preview) : out.size;
    bool rest_pending = out.with_preview && out.size > out.preview;

    connection->flags &= ~CONN_TRANSFER_FAILED;
    // The request goes out in a few writes and the server answers at once:
    // no write may wait for an acknowledgement.
    set_nodelay(socket->fd, true);
    socket->Blocking(true);
    socket->Freeze(true);
    bool sent = socket->Write(out.head->data, static_cast<int>(out.head->size)) != -1;
    if (sent && out.size > 0) {
        sent = net_chunks_send(out.body, static_cast<unsigned>(first), connection, SIDE_SERVER) ==
                   static_cast<int>(first) &&
               !(connection->flags & CONN_TRANSFER_FAILED);
        const char* end = out.with_preview && !rest_pending ? "0; ieof\r\n\r\n" : "0\r\n\r\n";
        sent = sent && socket->PutSock("%s", end) != -1;
        putlog(LOG_ICAP, "debug: %s: sent %s %zu of %zu", out.method,
               rest_pending ? "preview" : "full", first, out.size);
    }
    // The end of the preview goes out now: the server answers only once it
    // has it.
    sent = net_drain(socket, timeout) && sent;

    for (int interim = 0; interim <= ICAP_INTERIM_MAX; interim++) {
        char* text = sent ? header_get(connection, SIDE_SERVER, timeout) : NULL;
        if (text == NULL) {
            putlog(LOG_ICAP, "debug: %s: body-send response:\n%s", out.method, "NULL");
            if (pooled && interim == 0 && peer_closed(socket)) {
                // The server closed an idle connection just as it was
                // taken: the same request goes out on another.
                putlog(LOG_ICAP, "debug: %s: looping!", out.method);
                return ATTEMPT_RETRY;
            }
            putlog(LOG_ERROR, "icap: %s: error reading response from ICAP server", out.method);
            return ATTEMPT_FAILED;
        }
        putlog(LOG_ICAP, "debug: %s: body-send response:\n%s", out.method, text);
        HEADER* parsed = block_complete(text) ? http_header_parse_response(text) : NULL;
        free(text);
        if (parsed == NULL || parsed->version == HTTP_VERSION_09) {
            http_header_free(parsed);
            putlog(LOG_ICAP, "debug: %s: looping!", out.method);
            putlog(LOG_ERROR, "icap: %s: parsing header from ICAP server", out.method);
            return ATTEMPT_FAILED;
        }
        putlog(LOG_ICAP, "debug: %s: body-send response: %d", out.method, parsed->status);
        if (parsed->status != 100) {
            *reply = parsed;
            return ATTEMPT_REPLY;
        }
        http_header_free(parsed);
        if (!rest_pending)
            continue;
        // Only now, after "100 Continue", does the rest of the body go out.
        rest_pending = false;
        size_t rest = out.size - first;
        sent = net_chunks_send(out.body + first, static_cast<unsigned>(rest), connection,
                               SIDE_SERVER) == static_cast<int>(rest) &&
               !(connection->flags & CONN_TRANSFER_FAILED) &&
               socket->PutSock("0\r\n\r\n") != -1 && net_drain(socket, timeout);
        putlog(LOG_ICAP, "debug: %s: sent remaining data: %zu of %zu", out.method, rest, out.size);
    }
    putlog(LOG_ERROR, "icap: %s: error reading response from ICAP server", out.method);
    return ATTEMPT_FAILED;
}

// Up to 1022 characters of the value, '"' as '\'' and blanks as '_'.
std::string verdict_text(const std::string& value) {
    std::string text = value.substr(0, 1022);
    for (char& c : text) {
        if (c == '"')
            c = '\'';
        else if (c == ' ')
            c = '_';
    }
    return text;
}

const HTTP_HEADER* line_named(const HEADER* header, const char* name) {
    for (const HTTP_HEADER& line : header->lines)
        if (strcasecmp(line.name.c_str(), name) == 0)
            return &line;
    return NULL;
}

// FILTER and REASON of a 200 reply, for the pages and the access log.
void verdict_record(CONNECTION_T* connection, const HEADER* reply, const char* method) {
    std::string reason = "Missing_X-Virus-ID_header";
    if (const HTTP_HEADER* line = line_named(reply, "X-Virus-ID")) {
        reason = verdict_text(line->value);
        putlog(LOG_ICAP, "debug: %s: %s", line->name.c_str(), reason.c_str());
    }
    connection->variables.erase("REASON");
    connection->variables["REASON"] = reason;
    connection->log.filtering_reason = reason;

    std::string filter = "Missing_ISTag_header";
    if (const HTTP_HEADER* line = line_named(reply, "ISTag")) {
        filter = verdict_text("ICAP/" + line->value + "/" + method);
        putlog(LOG_ICAP, "debug: %s: %s", line->name.c_str(), filter.c_str());
    }
    connection->variables.erase("FILTER");
    connection->variables["FILTER"] = filter;
    connection->log.filter_name = filter;
}

// The encapsulated message of a final reply, read whole.
struct Message {
    HEADER* request = NULL;  // req-hdr
    HEADER* response = NULL; // res-hdr
    Filebuf* body = NULL;    // req-body or res-body
    ~Message() {
        http_header_free(request);
        http_header_free(response);
        delete body;
    }
};

// Reads the parts the Encapsulated value names, in their order. false when
// the reply cannot be read as it announces (the socket is then unusable).
bool message_read(CONNECTION_T* connection, const ICAP_ENCAPSULATION& parts, const char* method,
                  Message* message) {
    int timeout = io_timeout(connection);
    int body_at = std::max(parts.req_body, parts.res_body);
    // Header parts by offset; the first must start the message.
    int first = parts.req_hdr, second = parts.res_hdr;
    bool request_first = true;
    if (first == -1 || (second != -1 && second < first)) {
        std::swap(first, second);
        request_first = false;
    }
    if (first == -1)
        // Nothing to install; a body without its header cannot be placed.
        return body_at == -1;
    if (first != 0 || (second != -1 && second <= first) ||
        (body_at != -1 && (body_at < first || (second != -1 && body_at <= second)))) {
        putlog(LOG_ERROR, "icap: %s: unusable Encapsulated layout", method);
        return false;
    }
    for (int part = 0; part < 2; part++) {
        bool is_request = (part == 0) == request_first;
        if (part == 1 && second == -1)
            break;
        char* text = header_get(connection, SIDE_SERVER, timeout);
        if (text == NULL || !block_complete(text)) {
            free(text);
            putlog(LOG_ERROR, "icap: %s: encapsulated header incomplete", method);
            return false;
        }
        putlog(LOG_DEBUG, "icap: %s: server response:\n%s", method, text);
        HEADER* header = is_request ? http_header_parse_request(text) : http_header_parse_response(text);
        free(text);
        if (header == NULL || (!is_request && header->version == HTTP_VERSION_09)) {
            http_header_free(header);
            putlog(LOG_ERROR, "icap: %s: encapsulated header unreadable", method);
            return false;
        }
        (is_request ? message->request : message->response) = header;
    }
    if (body_at == -1)
        return true;

    // The body comes as chunks; the read must feed nothing of the proxy's
    // own (cache, HTML parser, allowance) and not count as a failed upstream
    // transfer of the request.
    HEADER framing;
    framing.type = RESPONSE_HTTP;
    framing.status = 200;
    framing.chunked = 1;
    HEADER* response = connection->response;
    unsigned kept = connection->flags & (CONN_INTERNAL | CONN_TRANSFER_FAILED);
    connection->response = &framing;
    connection->flags = (connection->flags & ~CONN_TRANSFER_FAILED) | CONN_INTERNAL;
    message->body = http_transfer_filebuf(connection, SIDE_SERVER);
    bool whole = !(connection->flags & CONN_TRANSFER_FAILED);
    connection->flags = (connection->flags & ~(CONN_INTERNAL | CONN_TRANSFER_FAILED)) | kept;
    connection->response = response;
    putlog(LOG_DEBUG, "icap: %s: server response: %d body: %s size: %u", method,
           message->response != NULL ? message->response->status : 0, "YES",
           message->body->size);
    if (!whole)
        putlog(LOG_ERROR, "icap: %s: encapsulated body incomplete", method);
    return whole;
}

// Replaces the buffer's contents by the read body's (emptied without one).
void body_take(Filebuf*& buffer, Filebuf* read) {
    if (buffer == NULL)
        buffer = new Filebuf();
    if (read != NULL)
        buffer->Swap(read);
    else
        buffer->Resize(0);
}

// Puts the read message in place. false: nothing could be installed and
// the exchange counts as failed.
bool message_install(CONNECTION_T* connection, Filebuf* body, int mode, const char* method,
                     Message* message) {
    bool streamed = mode == ICAP_MODE_REQMOD && (connection->flags & CONN_BODY_STREAMED);
    if (message->response != NULL) {
        http_header_free(connection->response);
        connection->response = message->response;
        message->response = NULL;
        if (mode == ICAP_MODE_REQMOD) {
            body_take(connection->body, message->body);
            putlog(LOG_ICAP, "%s: request modified", method);
        } else {
            if (message->body != NULL)
                body->Swap(message->body);
            putlog(LOG_ICAP, "%s: response modified", method);
        }
        return true;
    }
    if (message->request == NULL)
        return true;
    if (mode == ICAP_MODE_RESPMOD) {
        putlog(LOG_ICAP, "%s: got request modification when expecting response modification",
               method);
        return true;
    }
    HEADER* request = message->request;
    if (streamed) {
        // The body still waits on the client socket and goes upstream as it
        // comes: the new request keeps its framing, and no other body can
        // take its place.
        if (message->body != NULL) {
            putlog(LOG_ERROR, "icap: %s: a streamed request body cannot be replaced", method);
            return false;
        }
        HEADER* old = connection->request;
        request->chunked = old->chunked;
        request->content_length = old->content_length;
        request->flags = (request->flags & ~HEADER_HAS_LENGTH) | (old->flags & HEADER_HAS_LENGTH);
    } else {
        body_take(connection->body, message->body);
    }
    // The client connection's own terms (its version, whether it stays
    // open) are the client's, whatever the service wrote.
    request->version = connection->request->version;
    request->keep_alive = connection->request->keep_alive;
    request->proxy_keep_alive = connection->request->proxy_keep_alive;
    http_header_free(connection->request);
    connection->request = request;
    message->request = NULL;
    putlog(LOG_ICAP, "%s: request ok but uselessly modified", method);
    return true;
}

} // namespace

ICAP_ENCAPSULATION ICAPSection::encapsulation_parse(const char* value) {
    ICAP_ENCAPSULATION parts;
    if (value == NULL)
        return parts;
    static const struct {
        const char* name;
        int ICAP_ENCAPSULATION::*slot;
    } names[] = {
        {"req-hdr=", &ICAP_ENCAPSULATION::req_hdr},   {"res-hdr=", &ICAP_ENCAPSULATION::res_hdr},
        {"req-body=", &ICAP_ENCAPSULATION::req_body}, {"res-body=", &ICAP_ENCAPSULATION::res_body},
        {"null-body=", &ICAP_ENCAPSULATION::null_body}, {"opt-body=", &ICAP_ENCAPSULATION::opt_body},
    };
    const char* piece = value;
    while (*piece != '\0') {
        const char* end = strchr(piece, ',');
        if (end == NULL)
            end = piece + strlen(piece);
        while (piece < end && (*piece == ' ' || *piece == '\t'))
            piece++;
        for (const auto& name : names) {
            size_t length = strlen(name.name);
            if (static_cast<size_t>(end - piece) < length || strncasecmp(piece, name.name, length) != 0)
                continue;
            const char* digits = piece + length;
            char* stop = NULL;
            errno = 0;
            long offset = strtol(digits, &stop, 10);
            while (stop < end && (*stop == ' ' || *stop == '\t'))
                stop++;
            if (stop == digits || stop != end || errno != 0 || offset < 0 || offset > 0x7fffffffL)
                parts.valid = false;
            else
                parts.*name.slot = static_cast<int>(offset);
            break;
        }
        piece = *end == ',' ? end + 1 : end;
    }
    return parts;
}

bool ICAPSection::protocol_icap(CONNECTION_T* connection, Filebuf* body, int mode,
                                const std::string& host, const std::string& service,
                                unsigned port, int preview) {
    const char* method = method_word(mode);
    bool streamed = mode == ICAP_MODE_REQMOD && (connection->flags & CONN_BODY_STREAMED);
    size_t size = body != NULL && !streamed ? body->size : 0;

    // The encapsulated HTTP headers and the Encapsulated value.
    Filebuf head;
    // The request as a parent proxy would get it, but without the client's
    // proxy credentials: they are for this proxy, not for the service.
    Filebuf encapsulated_request;
    header_send_context_t context;
    context.client_keepalive = connection->client_keepalive;
    header_serialise(&encapsulated_request, connection->request, context, HEADER_SEND_PARENT);
    size_t request_size = encapsulated_request.size;
    std::string encapsulated = "req-hdr=0, ";
    Filebuf encapsulated_response;
    if (mode == ICAP_MODE_RESPMOD) {
        header_send_filebuf(&encapsulated_response, connection->response, connection,
                            HEADER_SEND_RESPONSE);
        encapsulated += "res-hdr=" + std::to_string(request_size) + ", ";
    }
    encapsulated += std::string(size > 0 ? (mode == ICAP_MODE_RESPMOD ? "res-body=" : "req-body=")
                                         : "null-body=") +
                    std::to_string(request_size + encapsulated_response.size);

    bool with_preview = size > 0 && preview >= 0;
    HEADER* icap = request_header(connection, mode, host, service, port, with_preview,
                                  static_cast<unsigned>(preview), encapsulated);
    header_send_filebuf(&head, icap, connection, HEADER_SEND_ORIGIN);
    http_header_free(icap);
    head.Add(encapsulated_request.data, encapsulated_request.size);
    if (encapsulated_response.size > 0)
        head.Add(encapsulated_response.data, encapsulated_response.size);
    Outgoing out = {&head, body != NULL ? body->data : NULL, size, with_preview,
                    with_preview ? static_cast<size_t>(preview) : 0, method};

    // The connection's own upstream socket waits aside; the ICAP socket
    // takes its place so the header and body readers address it.
    Socket* upstream = connection->server;
    int server_keepalive = connection->server_keepalive;
    unsigned failed = connection->flags & CONN_TRANSFER_FAILED;
    HEADER* reply = NULL;
    Socket* socket = NULL;
    for (;;) {
        bool pooled = false;
        socket = take_socket(connection, host, port, &pooled);
        if (socket == NULL)
            break;
        connection->server = socket;
        attempt_result result = attempt(connection, out, pooled, &reply);
        if (result == ATTEMPT_REPLY)
            break;
        delete socket;
        socket = NULL;
        if (result == ATTEMPT_FAILED)
            break;
    }

    bool handled = false;
    bool keep = false;
    if (reply != NULL) {
        int status = reply->status;
        if (status == 204) {
            putlog(LOG_ICAP, "%s: %d no modification needed", method, status);
            // The usual answer, and the exchange is over (nothing of the
            // body is left to send after a preview): the socket may serve
            // the next request, unless the reply announces parts it does
            // not carry.
            ICAP_ENCAPSULATION parts = encapsulation_parse(reply->encapsulated);
            keep = reply->keep_alive != 0 && parts.valid && parts.req_hdr == -1 &&
                   parts.res_hdr == -1 && parts.req_body == -1 && parts.res_body == -1 &&
                   parts.opt_body == -1;
        } else if (status >= 400 && status <= 499) {
            putlog(LOG_ERROR, "icap: %s: %d: ICAP response indicates client error", method, status);
        } else if (status >= 500 && status <= 599) {
            putlog(LOG_ERROR, "icap: %s: %d: ICAP response indicates server error", method, status);
        } else if (reply->encapsulated == NULL) {
            putlog(LOG_ICAP, "%s: ICAP response:%d without encapsulated header", method, status);
        } else {
            putlog(LOG_DEBUG, "icap: %s:%d encapsulated response: %s", method, status,
                   reply->encapsulated);
            ICAP_ENCAPSULATION parts = encapsulation_parse(reply->encapsulated);
            if (!parts.valid) {
                putlog(LOG_ERROR, "icap: %s: malformed Encapsulated header: %s", method,
                       reply->encapsulated);
            } else if (parts.res_body != -1 && parts.req_body != -1) {
                putlog(LOG_ERROR, "icap: %s: unable to handle response with both bodies", method);
            } else {
                if (status == 200)
                    verdict_record(connection, reply, method);
                Message message;
                if (message_read(connection, parts, method, &message) &&
                    message_install(connection, body, mode, method, &message)) {
                    handled = true;
                    keep = reply->keep_alive != 0;
                }
            }
        }
        http_header_free(reply);
    }
    icap_socket_release(socket, host, port, keep);
    connection->server = upstream;
    connection->server_keepalive = server_keepalive;
    connection->flags = (connection->flags & ~CONN_TRANSFER_FAILED) | failed;
    return handled;
}
