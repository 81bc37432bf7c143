#include "http/proto_http.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "auth/parent_auth.h"
#include "auth/profiles.h"
#include "cache/cache.h"
#include "cache/hstream.h"
#include "cache/prefetch.h"
#include "config/general.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc_time.h"
#include "filter/header_filter.h"
#include "filter/mime.h"
#include "filter/redirect.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/upstream.h"
#include "http/url_commands.h"
#include "iface/interface.h"
#include "iface/stats.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/relay.h"
#include "net/socket.h"

// Largest piece handed to the relay functions, whose lengths are int.
static const int64_t PIECE_MAX = 1 << 30;
// A chunk-size line longer than this is not a chunk-size line.
static const int CHUNK_LINE_MAX = 64;

static const char* client_address(CONNECTION_T* connection) {
    return connection->client_ip != nullptr ? connection->client_ip : "";
}

static bool has_command(CONNECTION_T* connection, const char* name) {
    return url_command_find(connection->url_commands, name) != nullptr;
}

static Socket* side_socket(CONNECTION_T* connection, int side) {
    return side == SIDE_SERVER ? connection->server : connection->client;
}

static HEADER* side_header(CONNECTION_T* connection, int side) {
    return side == SIDE_SERVER ? connection->response : connection->request;
}

static void replace_text(char*& field, const char* text) {
    free(field);
    field = nullptr;
    if (text == nullptr)
        return;
    field = xstrdup(text);
    if (field == nullptr)
        FATAL_ALLOC("src/proto_http", static_cast<unsigned>(strlen(text) + 1));
}

int http_send_body(CONNECTION_T* connection, Filebuf* body) {
    if (connection->flags & CONN_HEAD)
        return 0;
    return net_filebuf_send(body, connection, SIDE_CLIENT);
}

int protocol_http_read_callback(void* argument, unsigned length, char* data) {
    CONNECTION_T* connection = static_cast<CONNECTION_T*>(argument);
    HEADER* response = connection->response;
    if (connection->htmlstream != nullptr &&
        (response == nullptr || response->content_encoding == nullptr))
        connection->htmlstream->Add(data, length);
    if (connection->cachemap != nullptr && (connection->flags & CONN_CACHE_STORE) &&
        cache_section->add(connection->cachemap, data, length) == -1 &&
        (connection->flags & CONN_PREFETCH))
        return -1;
    connection->bytes_down += length;
    uint64_t allowance = static_cast<uint64_t>(connection->down_allowance);
    // A body exactly the size of the allowance passes; a byte more fails.
    if (length > allowance) {
        connection->down_allowance = 0;
        connection->flags |= CONN_TRANSFER_FAILED;
        return -1;
    }
    if (connection->down_allowance != -1)
        connection->down_allowance -= length;
    buffertimeout_check(connection);
    return 0;
}

// The read callback on the upstream socket while a response body moves;
// the proxy's own requests count nothing. Returns the id, or NO_CALLBACK.
static const int NO_CALLBACK = -1;

static int callback_add(CONNECTION_T* connection, int side) {
    if (side != SIDE_SERVER || (connection->flags & CONN_INTERNAL) || connection->server == nullptr)
        return NO_CALLBACK;
    return connection->server->CallBackAdd(protocol_http_read_callback, connection,
                                           SOCKET_EVENT_READ);
}

static void callback_remove(CONNECTION_T* connection, int id) {
    if (id != NO_CALLBACK && connection->server != nullptr)
        connection->server->CallBackRemove(id);
}

static void callback_mask(CONNECTION_T* connection, int id, bool on) {
    if (id != NO_CALLBACK && connection->server != nullptr)
        connection->server->CallBackMaskSet(id, on ? SOCKET_EVENT_READ : 0);
}

static int line_timeout(CONNECTION_T* connection) {
    return general_section->timeout_get(connection);
}

// One line of chunk framing from the side's socket into line (room for
// CHUNK_LINE_MAX characters); the GetLine result.
static int chunk_line(CONNECTION_T* connection, int side, char (&line)[CHUNK_LINE_MAX]) {
    Socket* socket = side_socket(connection, side);
    return socket != nullptr ? socket->GetLine(line, sizeof line, line_timeout(connection)) : -1;
}

// The size a chunk-size line of `got` characters states, or -1.
static int chunk_size_of(const char* line, int got) {
    // A line cut by the buffer is no size line: its digits went on.
    if (got >= CHUNK_LINE_MAX - 1 && line[got - 1] != '\n')
        return -1;
    char* end = nullptr;
    unsigned long long size = strtoull(line, &end, 16);
    // Only hexadecimal digits (then an extension or the line end) make a
    // size; anything else is a broken body, never its end.
    if (end == line || !(*end == '\0' || *end == '\r' || *end == '\n' || *end == ';' ||
                         *end == ' ' || *end == '\t') ||
        line[0] == '-' || line[0] == '+' || line[0] == ' ' || size > INT_MAX)
        return -1;
    return static_cast<int>(size);
}

int next_chunksize(CONNECTION_T* connection, int side) {
    char line[CHUNK_LINE_MAX];
    int got = chunk_line(connection, side, line);
    return got > 0 ? chunk_size_of(line, got) : -1;
}

// A client whose request body breaks its chunk framing (as opposed to one
// that went away) is told so.
static void framing_broken(CONNECTION_T* connection, int side) {
    if (side != SIDE_SERVER)
        connection->flags |= CONN_BODY_MALFORMED;
}

// After a chunk's data: its line end. False when it is not there.
static bool chunk_end(CONNECTION_T* connection, int side) {
    char line[CHUNK_LINE_MAX];
    int got = chunk_line(connection, side, line);
    if (got > 0 && (line[0] == '\r' || line[0] == '\n'))
        return true;
    // Data longer than its chunk's size.
    if (got > 0)
        framing_broken(connection, side);
    return false;
}

// After the last chunk: trailer lines up to the empty line, so that nothing
// of this body is left on the socket for the next message.
static bool chunk_trailer(CONNECTION_T* connection, int side) {
    Socket* socket = side_socket(connection, side);
    for (int lines = 0; socket != nullptr && lines < 100; lines++) {
        char line[HEADER_LINE_MAX + 2];
        int got = socket->GetLine(line, sizeof line, line_timeout(connection));
        if (got <= 0)
            return false;
        if (line[0] == '\r' || line[0] == '\n')
            return true;
    }
    return false;
}

static void transfer_failed(CONNECTION_T* connection) {
    connection->flags |= CONN_TRANSFER_FAILED;
}

// The size line of the next chunk, read with the body callback masked off
// (its bytes are framing, not body); after the last chunk its trailer too.
// The size, 0 at the end of the body, -1 for a broken body (marked failed).
static int chunk_begin(CONNECTION_T* connection, int side, int id) {
    callback_mask(connection, id, false);
    char line[CHUNK_LINE_MAX];
    int got = chunk_line(connection, side, line);
    int size = got > 0 ? chunk_size_of(line, got) : -1;
    if (got > 0 && size < 0)
        framing_broken(connection, side);
    if (size == 0 && !chunk_trailer(connection, side))
        size = -1;
    callback_mask(connection, id, true);
    if (size < 0)
        transfer_failed(connection);
    return size;
}

// The line end after a chunk's data; false (marked failed) when missing.
static bool chunk_finish(CONNECTION_T* connection, int side, int id) {
    callback_mask(connection, id, false);
    bool ended = chunk_end(connection, side);
    callback_mask(connection, id, true);
    if (!ended)
        transfer_failed(connection);
    return ended;
}

// Reads len bytes (any size) into fb (NULL: dropped). 1 when all came.
static int read_length(CONNECTION_T* connection, Filebuf* fb, int side, uint64_t len) {
    while (len > 0) {
        int piece = static_cast<int>(len > static_cast<uint64_t>(PIECE_MAX) ? PIECE_MAX : len);
        if (net_filebuf_read(fb, connection, side, piece) != 1) {
            transfer_failed(connection);
            return 0;
        }
        len -= static_cast<uint64_t>(piece);
    }
    return 1;
}

// Reads the side's body into fb (NULL: dropped). 1 when read whole.
static int read_body(CONNECTION_T* connection, Filebuf* fb, int side) {
    HEADER* header = side_header(connection, side);
    int id = callback_add(connection, side);
    if (header->flags & HEADER_HAS_LENGTH) {
        read_length(connection, fb, side, header->content_length);
    } else if (header->chunked) {
        for (;;) {
            int size = chunk_begin(connection, side, id);
            if (size <= 0)
                break;
            if (!read_length(connection, fb, side, static_cast<uint64_t>(size)) ||
                !chunk_finish(connection, side, id))
                break;
        }
    } else {
        net_filebuf_read(fb, connection, side, -1);
    }
    callback_remove(connection, id);
    return (connection->flags & CONN_TRANSFER_FAILED) ? 0 : 1;
}

Filebuf* http_transfer_filebuf(CONNECTION_T* connection, int side) {
    Filebuf* body = new Filebuf();
    read_body(connection, body, side);
    return body;
}

int http_transfer_discard(CONNECTION_T* connection, int side) {
    return read_body(connection, nullptr, side);
}

// Relays len bytes; false when fewer passed.
static bool relay_length(CONNECTION_T* connection, int side, uint64_t len, int64_t* relayed) {
    while (len > 0) {
        int piece = static_cast<int>(len > static_cast<uint64_t>(PIECE_MAX) ? PIECE_MAX : len);
        int moved = net_transfer(connection, side, piece);
        if (moved > 0)
            *relayed += moved;
        if (moved != piece || (connection->flags & CONN_TRANSFER_FAILED)) {
            transfer_failed(connection);
            return false;
        }
        len -= static_cast<uint64_t>(piece);
    }
    return true;
}

static void write_other(CONNECTION_T* connection, int side, const char* text, int length) {
    Socket* other = side_socket(connection, side == SIDE_SERVER ? SIDE_CLIENT : SIDE_SERVER);
    if (other == nullptr || (side == SIDE_SERVER && (connection->flags & CONN_NO_CLIENT)))
        return;
    if (other->Write(text, length) == -1)
        transfer_failed(connection);
}

// Only an HTTP/1.0 client knows no chunks (the proxy's own requests are 1.1).
static bool client_takes_chunks(CONNECTION_T* connection) {
    return connection->request == nullptr || connection->request->version != HTTP_VERSION_10;
}

int64_t http_transfer(CONNECTION_T* connection, int side) {
    HEADER* header = side_header(connection, side);
    int id = callback_add(connection, side);
    int64_t relayed = 0;
    // Towards an HTTP/1.0 client the chunks go without their framing: the
    // body then ends with the connection.
    bool framed = side == SIDE_CLIENT || client_takes_chunks(connection);
    if (header->flags & HEADER_HAS_LENGTH) {
        relay_length(connection, side, header->content_length, &relayed);
    } else if (header->chunked) {
        for (;;) {
            int size = chunk_begin(connection, side, id);
            if (size < 0)
                break;
            if (size == 0) {
                if (framed)
                    write_other(connection, side, "0\r\n\r\n", 5);
                break;
            }
            char frame[32];
            int length = snprintf(frame, sizeof frame, "%x\r\n", static_cast<unsigned>(size));
            if (framed)
                write_other(connection, side, frame, length);
            if (!relay_length(connection, side, static_cast<uint64_t>(size), &relayed) ||
                !chunk_finish(connection, side, id))
                break;
            if (framed)
                write_other(connection, side, "\r\n", 2);
            if (connection->flags & CONN_TRANSFER_FAILED)
                break;
        }
    } else {
        int moved = net_transfer(connection, side, -1);
        if (moved > 0)
            relayed += moved;
    }
    callback_remove(connection, id);
    if (connection->htmlstream != nullptr)
        connection->htmlstream->Add(nullptr, 0);
    Socket* other = side_socket(connection, side == SIDE_SERVER ? SIDE_CLIENT : SIDE_SERVER);
    if (other != nullptr && !(side == SIDE_SERVER && (connection->flags & CONN_NO_CLIENT)))
        other->Flush();
    return relayed;
}

// ---------------------------------------------------------------------------
// The exchange.

static void write_record(CONNECTION_T* connection) {
    connection->log.Write();
    connection->log.apache_Write();
}

// Every early end: the upstream socket is not reused and the response goes.
static int end_early(CONNECTION_T* connection, int result) {
    connection->server_keepalive = 0;
    http_header_free(connection->response);
    connection->response = nullptr;
    return result;
}

// A page of a URL command went out in place of the response: the record
// (its status and size set by the page) is written, the response dropped.
static int page_answered(CONNECTION_T* connection) {
    write_record(connection);
    return end_early(connection, 1);
}

static void invalidate_object(CONNECTION_T* connection) {
    if (connection->cachemap == nullptr)
        return;
    cache_section->invalidate(connection->cachemap);
    connection->cachemap = nullptr;
    connection->flags &= ~CONN_CACHE_STORE;
}

// Lets go of the request's cache object when the response is not passed on
// as it came: a response being stored is dropped, while a stored copy that
// was only read stays for the other requests.
static void drop_object(CONNECTION_T* connection) {
    if (connection->cachemap == nullptr)
        return;
    if (connection->flags & CONN_CACHE_STORE) {
        invalidate_object(connection);
        return;
    }
    cache_section->cache_close(connection->cachemap, false);
    connection->cachemap = nullptr;
}

// Record fields of the response: size, MIME type, agent and referer.
static void record_response(CONNECTION_T* connection) {
    HEADER* response = connection->response;
    LogEntry& record = connection->log;
    record.size = connection->bytes_down;
    if (response->mime_type != nullptr) {
        record.mime = response->mime_type;
        statincr_mimes(connection);
    }
    if (response->user_agent != nullptr)
        record.useragent = response->user_agent;
    if (response->referer != nullptr)
        record.referer = response->referer;
}

// Sends the request and its body. The body bytes sent, or -1 when the
// client failed to deliver a streamed body.
static int64_t send_request(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    int mode = connection->forward_mode == FORWARD_HTTP_PARENT ? HEADER_SEND_PARENT
                                                                : HEADER_SEND_ORIGIN;
    header_send(request, connection, SIDE_SERVER, mode);
    Filebuf* body = connection->body;
    if (body == nullptr || !((request->flags & HEADER_HAS_LENGTH) || request->chunked))
        return 0;
    if (connection->flags & CONN_BODY_STREAMED) {
        int64_t sent = http_transfer(connection, SIDE_CLIENT);
        if (connection->flags & CONN_TRANSFER_FAILED)
            return -1;
        connection->flags |= CONN_BODY_RELAYED;
        // Counted as a body even when empty: it can never be sent again.
        return sent > 0 ? sent : 1;
    }
    if (body->size == 0)
        return 0;
    net_filebuf_send(body, connection, SIDE_SERVER);
    return body->size;
}

// 400 for a request body whose chunk framing broke, and its record.
static void refuse_malformed_body(CONNECTION_T* connection) {
    putlog(LOG_WARNING, "request: [IP:%s] request body with broken chunk framing",
           client_address(connection));
    HEADER* answer = header_new();
    answer->type = RESPONSE_HTTP;
    answer->status = 400;
    answer->flags |= HEADER_HAS_LENGTH;
    answer->content_length = 0;
    header_send(answer, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    http_header_free(answer);
    connection->log.status = 400;
    connection->log.set_peercode(PEERCODE_DIRECT);
    write_record(connection);
}

// The response header text, read with the I/O time-out also after a body
// (a server that never answers is given up). NULL: the client is answered.
static char* read_response(CONNECTION_T* connection) {
    return header_get_reconnect(connection, general_section->timeout_get(connection));
}

// An unusable response: the page "badresponse" with 502, the gateway's
// status for an upstream that answered with something it cannot use; the
// record tells the status the client actually received.
static int bad_response(CONNECTION_T* connection) {
    putlog(LOG_ERROR, "[IP:%s] Bad response from server", client_address(connection));
    connection->client_keepalive = 0;
    if (template_section->send("badresponse", connection, 502) == 0)
        connection->log.status = 502;
    connection->log.set_peercode(PEERCODE_DIRECT);
    write_record(connection);
    return end_early(connection, -1);
}

// No usable response header came: the client has had its page, and the
// record shows the status of that page.
static int no_response(CONNECTION_T* connection) {
    if (connection->log.status != 0) {
        connection->log.set_peercode(PEERCODE_DIRECT);
        write_record(connection);
    }
    return end_early(connection, -1);
}

// The response-header processors, then the parse. NULL: unusable (text is
// consumed either way).
static HEADER* parse_response(CONNECTION_T* connection, char* text) {
    if (strncasecmp(text, "HTTP/", 5) == 0) {
        bool present = false;
        for (const Processor& processor : processors.list)
            present = present || processor.stage == PROCESSOR_RESPHEADER;
        if (present) {
            Filebuf buffer(text, static_cast<unsigned>(strlen(text) + 1));
            free(text);
            processors.Execute(PROCESSOR_RESPHEADER, connection, &buffer);
            if (buffer.size == 0 || buffer.data == nullptr)
                return nullptr;
            if (buffer.data[buffer.size - 1] != '\0')
                buffer.Add("", 1);
            text = xstrdup(buffer.data);
            if (text == nullptr)
                FATAL_ALLOC("src/proto_http", buffer.size);
        }
    }
    HEADER* response = http_header_parse_response(text);
    free(text);
    if (response != nullptr && response->version == HTTP_VERSION_09) {
        // A reply without a status line says neither its status nor where
        // it ends: passing it on as "200 OK" would vouch for both.
        http_header_free(response);
        return nullptr;
    }
    return response;
}

// Pages that replace the answer ("cookies", "mimeprofiles", "variables").
static bool answer_page_commands(CONNECTION_T* connection) {
    if (has_command(connection, "cookies"))
        interface_cookies_show(connection);
    else if (has_command(connection, "mimeprofiles"))
        show_profiles(connection);
    else if (has_command(connection, "variables"))
        show_variables(connection);
    else
        return false;
    return true;
}

static bool parent_credentials(CONNECTION_T* connection) {
    return connection->parent_user != nullptr && connection->parent_password != nullptr;
}

// Revalidation of a cached copy (step 13). True: validated, and the stored
// header text is in *text to be used as the received header.
static bool revalidate(CONNECTION_T* connection, char** text) {
    HEADER* response = connection->response;
    CACHEMAP* object = connection->cachemap;
    putlog(LOG_DEBUG, "cache: validating: server response: %d last modified: %s",
           response->status, response->last_modified != nullptr ? response->last_modified : "NULL");
    // A 304 answers this proxy's own conditional request: the stored copy is
    // what the client gets, whatever it asked. A different Last-Modified on
    // the 304 means the copy is not the server's current one.
    bool validated = response->status == 304;
    if (validated && response->last_modified != nullptr) {
        time_t modified = http_date_parse(response->last_modified);
        if (modified != -1)
            validated = modified == cache_section->get_lmtime(object);
    }
    if (validated) {
        char* stored = cache_section->cachemap_headers(object);
        if (stored != nullptr) {
            connection->log.set_cachecode(CACHECODE_TCP_REFRESH_HIT);
            connection->flags = (connection->flags & ~CONN_REVALIDATING) | CONN_VALIDATED;
            cache_section->validated(object);
            putlog(LOG_CACHE, "validated: %s", object->key);
            statincr_cacherefreshhit(connection);
            *text = stored;
            return true;
        }
    }
    statdecr_cachehit(connection);
    statincr_cachemiss(connection);
    statincr_cacherefreshmiss(connection);
    connection->log.set_cachecode(CACHECODE_TCP_REFRESH_MISS);
    putlog(LOG_CACHE, "failed validation: %s", object->key);
    connection->flags &= ~CONN_REVALIDATING;
    invalidate_object(connection);
    return false;
}

// The final record of both paths; returns 1.
static int final_record(CONNECTION_T* connection) {
    connection->log.status = connection->response->status;
    record_response(connection);
    write_record(connection);
    http_header_free(connection->response);
    connection->response = nullptr;
    return 1;
}

// A body that did not arrive whole, or cannot be made whole, is never
// passed on as whole: the page "badresponse", and the connection ends.
static int buffered_failed(CONNECTION_T* connection, Filebuf* body) {
    delete body;
    connection->client_keepalive = 0;
    drop_object(connection);
    if (!(connection->flags & CONN_NO_CLIENT) && connection->log.status == 0 &&
        template_section->send("badresponse", connection, 502) == 1) {
        // The record shows the page the client got, not the response it
        // stands in for.
        write_record(connection);
        http_header_free(connection->response);
        connection->response = nullptr;
        return 1;
    }
    return final_record(connection);
}

static int buffered_path(CONNECTION_T* connection) {
    HEADER* response = connection->response;
    buffertimeout_set(connection);
    Filebuf* body;
    // A body read from the server reaches the HTML parser piece by piece
    // (unless encoded); one taken from the cache is fed here in one piece.
    bool from_cache = !(connection->flags & CONN_CACHE_STORE) && connection->cachemap != nullptr;
    if (!from_cache) {
        body = http_transfer_filebuf(connection, SIDE_SERVER);
    } else {
        // NULL: the request that was storing the object failed.
        body = cache_section->read_filebuf(connection->cachemap);
        if (body == nullptr) {
            body = new Filebuf();
            transfer_failed(connection);
        }
        // The stored body stands for the bytes a miss reads from the
        // server: the record and the limits count it the same way.
        connection->bytes_down = body->size;
    }
    if (connection->flags & CONN_TRANSFER_FAILED)
        return buffered_failed(connection, body);
    if (connection->flags & CONN_NO_CLIENT) {
        // Nobody reads a prefetched page, but its links are still wanted.
        if (connection->htmlstream != nullptr && body->size > 0) {
            bool encoded = response->content_encoding != nullptr;
            if ((encoded && body->Decode(connection) == 1) || (!encoded && from_cache))
                connection->htmlstream->Add(body->data, body->size);
            connection->htmlstream->Add(nullptr, 0);
        }
        delete body;
        return final_record(connection);
    }
    if (body->size > 0) {
        bool encoded = response->content_encoding != nullptr;
        int decoding = encoded ? body->Decode(connection) : 1;
        if (decoding < 0) {
            // It would decode beyond the buffer limit (a compression bomb):
            // this transfer fails, nothing of it reaches the client.
            connection->flags |= CONN_TRANSFER_FAILED;
            return buffered_failed(connection, body);
        }
        bool decoded = decoding == 1;
        if (decoded) {
            if (encoded) {
                free(response->content_encoding);
                response->content_encoding = nullptr;
            }
            if (connection->htmlstream != nullptr && (encoded || from_cache))
                connection->htmlstream->Add(body->data, body->size);
            if (connection->htmlstream != nullptr)
                connection->htmlstream->Add(nullptr, 0);
            if (hooks.Execute(HOOK_PRERESPMOD, connection, body) == 1) {
                // The hook answered the client and filled the record.
                write_record(connection);
                delete body;
                return end_early(connection, 1);
            }
            if (!process_response(connection, body)) {
                record_response(connection);
                write_record(connection);
                delete body;
                return end_early(connection, 1);
            }
            // A modification processor may have put a new response header
            // in place of the old one.
            response = connection->response;
            if (hooks.Execute(HOOK_POSTRESPMOD, connection, body) != 0) {
                delete body;
                return end_early(connection, 1);
            }
            if (has_command(connection, "raw")) {
                show_filebuf(connection, body);
                delete body;
                return page_answered(connection);
            }
            if (has_command(connection, "htmltree")) {
                // Without a prefetch rule watching the page nothing parsed
                // it on the way: the tree is made from the decoded body.
                if (connection->htmlstream == nullptr) {
                    connection->htmlstream = new HTMLStream();
                    connection->htmlstream->Add(body->data, body->size);
                    connection->htmlstream->Add(nullptr, 0);
                }
                show_htmltree(connection);
                delete body;
                return page_answered(connection);
            }
            body->Encode(connection);
        }
    }
    keepalive_check_client(connection);
    response->content_length = body->size;
    response->flags |= HEADER_HAS_LENGTH;
    response->chunked = 0;
    header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    http_send_body(connection, body);
    delete body;
    return final_record(connection);
}

// A body of known length whose first bytes came with the header: the relay
// writes them at once, so the header can wait to go out with them.
static bool body_waits_in_server_socket(const CONNECTION_T* connection) {
    const HEADER* response = connection->response;
    return (response->flags & HEADER_HAS_LENGTH) && !response->chunked &&
           response->content_length > 0 && connection->server != nullptr &&
           connection->server->read_pending > 0 && connection->client != nullptr &&
           !(connection->flags & CONN_NO_CLIENT);
}

static int streamed_path(CONNECTION_T* connection) {
    HEADER* response = connection->response;
    // The request alone could not tell whether an HTTP/1.1 client stays: the
    // response decides, unless its body ends with the connection.
    if ((response->flags & HEADER_HAS_LENGTH) || response->chunked)
        keepalive_check_client(connection);
    if (connection->cachemap == nullptr || (connection->flags & CONN_CACHE_STORE)) {
        if (response->chunked && !client_takes_chunks(connection)) {
            // An HTTP/1.0 client knows no chunks, and the size is not known
            // before the end: the body goes as it comes and the connection
            // closes at its end.
            connection->client_keepalive = 0;
            response->chunked = 0;
            header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
            response->chunked = 1;
        } else if (body_waits_in_server_socket(connection)) {
            header_hold_for_body(response, connection, HEADER_SEND_RESPONSE);
        } else {
            header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
        }
        http_transfer(connection, SIDE_SERVER);
    } else {
        // A hit: the header goes out with the body, in one write when the
        // stored body is small.
        CACHEMAP* object = connection->cachemap;
        // An encoded body means nothing to the parser. A finished body is
        // parsed before it goes out, one still being stored once it has
        // been followed to its end.
        HTMLStream* parser = response->content_encoding == nullptr ? connection->htmlstream
                                                                   : nullptr;
        bool parsed = parser != nullptr && cache_section->feed_html(object, parser);
        Filebuf& head = header_text_buffer();
        header_send_filebuf(&head, connection->response, connection, HEADER_SEND_RESPONSE);
        connection->bytes_down = cache_section->send(object, connection, SIDE_CLIENT, &head);
        if (parser != nullptr && (parsed || cache_section->feed_html(object, parser)))
            parser->Add(nullptr, 0);
    }
    if (connection->flags & CONN_TRANSFER_FAILED)
        drop_object(connection);
    return final_record(connection);
}

int protocol_http(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    char* text = nullptr;
    int64_t body_sent = 0;
    if (connection->cachemap != nullptr && !(connection->flags & CONN_REVALIDATING)) {
        text = cache_section->cachemap_headers(connection->cachemap);
        // Nothing is sent upstream, so a streamed body stays unread.
        if (connection->flags & CONN_BODY_STREAMED)
            connection->client_keepalive = 0;
        if (text == nullptr)
            return -1;
    } else {
        if (general_section->xforwardedfor_get(connection) == 1)
            replace_text(request->x_forwarded_for, client_address(connection));
        if (general_section->via_get(connection) == 1)
            via_header_update(connection);
        body_sent = send_request(connection);
        if (body_sent < 0) {
            // The client broke off its own request body: no answer can
            // follow, but a body whose framing broke is refused as such.
            // The server got part of it, so its connection goes too.
            connection->client_keepalive = 0;
            if (connection->flags & CONN_BODY_MALFORMED)
                refuse_malformed_body(connection);
            return end_early(connection, -1);
        }
        text = read_response(connection);
        if (text == nullptr)
            return no_response(connection);
    }

    HEADER* response = nullptr;
    for (;;) {
        response = parse_response(connection, text);
        text = nullptr;
        if (response == nullptr)
            return bad_response(connection);
        http_header_free(connection->response);
        connection->response = response;
        if (response->status == 401)
            connection->tunnel_id = connection->client_id;
        replace_text(response->host, request->host);
        replace_text(response->path, request->path);
        header_variables(connection, "SERVER", response->lines);
        if (!(connection->flags & CONN_PREFETCH))
            profile_section->profiles_update(connection);
        if (answer_page_commands(connection))
            return page_answered(connection);
        keepalive_check_server(connection);

        // Interim replies announce the final one; 101 switches protocols and
        // is the final reply itself.
        if (connection->server != nullptr && response->status >= 100 && response->status < 200 &&
            response->status != 101) {
            text = header_get(connection, SIDE_SERVER, general_section->timeout_get(connection));
            if (text == nullptr)
                return bad_response(connection);
            continue;
        }
        if (response->status == 407 && connection->forward_mode == FORWARD_HTTP_PARENT &&
            !(connection->flags & CONN_PARENT_AUTH_TRIED) && parent_credentials(connection) &&
            !((connection->flags & CONN_BODY_STREAMED) && body_sent > 0)) {
            // A streamed body is gone: it cannot be sent again with
            // credentials, so the 407 goes to the client instead.
            connection->flags |= CONN_PARENT_AUTH_TRIED;
            if (proxy_authenticate(connection) == 1) {
                body_sent = 0;
                Filebuf* body = connection->body;
                if (body != nullptr && body->size > 0 && (request->flags & HEADER_HAS_LENGTH))
                    net_filebuf_send(body, connection, SIDE_SERVER);
                text = read_response(connection);
                if (text == nullptr)
                    return no_response(connection);
                continue;
            }
            replace_text(response->proxy_authenticate, nullptr);
        }
        if (connection->server != nullptr && (connection->flags & CONN_REVALIDATING) &&
            connection->cachemap != nullptr) {
            char* stored = nullptr;
            if (revalidate(connection, &stored)) {
                // The 304 carried no body; the stored header takes its place.
                text = stored;
                continue;
            }
        }
        break;
    }

    if (connection->server == nullptr && connection->cachemap == nullptr)
        return end_early(connection, 1);
    CACHEMAP* object = connection->cachemap;
    bool hit = object != nullptr && !(connection->flags & CONN_CACHE_STORE);
    if (hit) {
        char age[32];
        snprintf(age, sizeof age, "%u",
                 static_cast<unsigned>(utc_time(nullptr) - cache_section->get_mtime(object)));
        replace_text(response->age, age);
        if (!(connection->flags & CONN_VALIDATED) &&
            (cache_section->flag_get(object) & CACHE_EXPIRED))
            replace_text(response->warning, "110 stale cache");
    }
    if (!transfer_limit_check(connection))
        return end_early(connection, 1);
    if (hit) {
        if (!(cache_section->flag_get(object) & CACHE_WRITING)) {
            response->content_length = cache_section->get_cachemap_size(object);
            response->flags |= HEADER_HAS_LENGTH;
            response->chunked = 0;
        } else {
            // Followed while another request stores it: the stored body is
            // plain bytes, so without an announced length the end of the
            // connection ends it.
            response->chunked = 0;
            if (!(response->flags & HEADER_HAS_LENGTH))
                connection->client_keepalive = 0;
        }
        xcache_header_update(connection, 0);
    } else {
        if (cacheable(request) && cacheable(response)) {
            int flags = CACHE_WRITING | ((connection->flags & CONN_PREFETCH) ? CACHE_PREFETCHED : 0);
            connection->cachemap =
                cache_section->cache_open(connection, request->url, response->raw, flags);
            if (connection->cachemap != nullptr)
                connection->flags |= CONN_CACHE_STORE;
        }
        if ((connection->flags & CONN_PREFETCH) && connection->cachemap == nullptr)
            return end_early(connection, 1);
        xcache_header_update(connection, 1);
    }

    char status_name[16];
    snprintf(status_name, sizeof status_name, "%d", response->status);
    if (template_section->send(status_name, connection, response->status) == 1) {
        drop_object(connection);
        return end_early(connection, 1);
    }
    if ((response->status == 301 || response->status == 302) && response->location != nullptr) {
        redirect_section->redirect_do(connection, 1);
        if (connection->url_commands != nullptr && response->location != nullptr) {
            char* location = url_command_add(connection, response->location);
            free(response->location);
            response->location = location;
        }
    }
    header_section->filter(connection, HEADER_RULE_SERVER);

    if ((connection->flags & CONN_HEAD) || (response->status >= 100 && response->status < 200) ||
        response->status == 204 || response->status == 304) {
        // No body follows such a header, so the exchange is complete and
        // both connections may stay.
        header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
        drop_object(connection);
        connection->log.status = response->status;
        connection->log.size = 0;
        return final_record(connection);
    }
    if (has_command(connection, "mime") || has_command(connection, "headers")) {
        if (has_command(connection, "mime"))
            mime_section->check_show(connection);
        else
            show_headers(connection);
        drop_object(connection);
        return page_answered(connection);
    }
    if (mime_section->check_and_block(connection) == 0) {
        record_response(connection);
        write_record(connection);
        drop_object(connection);
        return end_early(connection, 1);
    }

    putlog((connection->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s",
           request->method != nullptr ? request->method : "",
           request->url != nullptr ? request->url : "");
    statincr_httprequests(connection);
    prefetch_section->setup_callbacks(connection);
    if ((connection->flags & (CONN_PROCESSING | CONN_PREFETCH)) && buffer_check(connection)) {
        connection->flags |= CONN_BUFFERING;
        if (connection->cachemap != nullptr) {
            cache_section->flag_set(connection->cachemap, CACHE_FORCE);
        } else if (cacheable(request) && cacheable(response)) {
            connection->cachemap = cache_section->cache_open(
                connection, request->url, response->raw, CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
            if (connection->cachemap != nullptr)
                connection->flags |= CONN_CACHE_STORE;
        }
    }
    putlog(LOG_DEBUG, " [IP:%s]buffering: %d processing: %d", client_address(connection),
           (connection->flags & CONN_BUFFERING) ? 1 : 0,
           (connection->flags & CONN_PROCESSING) ? 1 : 0);
    if (connection->flags & CONN_BUFFERING)
        return buffered_path(connection);
    return streamed_path(connection);
}
