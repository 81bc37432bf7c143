// Header serialiser, sender, reader, Via/X-Cache and header variables; see
// header_io.h for the contract.
#include "http/header_io.h"

#include <ctype.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <memory>

#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "filter/cookie_filter.h"
#include "http/http_text.h"
#include "http/url.h"
#include "net/connection.h"
#include "net/relay.h"
#include "net/socket.h"

namespace {

// Writes header text into a buffer; every piece of text that came from a
// peer or a rule goes through text(), which turns CR and LF into blanks.
class HeaderWriter {
public:
    explicit HeaderWriter(Filebuf* out) : out_(out) {}

    void literal(const char* text) { out_->Add(text, (unsigned)strlen(text)); }

    void text(const char* text)
    {
        if (text == NULL)
            return;
        const char* end = text + strlen(text);
        while (text < end) {
            size_t clean = strcspn(text, "\r\n");
            if (clean > 0)
                out_->Add(text, (unsigned)clean);
            text += clean;
            if (text < end) {
                out_->Add(" ", 1);
                text++;
            }
        }
    }

    void text(const std::string& value) { text(value.c_str()); }

    void number(long long value) { literal(std::to_string(value).c_str()); }

    // "<name>: <value>\r\n"
    void line(const char* name, const char* value)
    {
        text(name);
        literal(": ");
        text(value);
        literal("\r\n");
    }

    // The line only when the value is set.
    void field(const char* name, const char* value)
    {
        if (value != NULL)
            line(name, value);
    }

private:
    Filebuf* out_;
};

// A user name or password as it stands in a URL: every byte but letters,
// digits and "-._~" percent-encoded. (Form encoding would write a blank as
// '+', which the parent reads as a plus sign.)
std::string userinfo_encoded(const char* text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char* p = (const unsigned char*)text; *p != '\0'; p++) {
        if (isalnum(*p) || *p == '-' || *p == '.' || *p == '_' || *p == '~') {
            encoded += (char)*p;
        } else {
            encoded += '%';
            encoded += hex[*p >> 4];
            encoded += hex[*p & 0xF];
        }
    }
    return encoded;
}

const char* or_empty(const char* text)
{
    return text == NULL ? "" : text;
}

void start_line(HeaderWriter& out, const HEADER* header, int mode)
{
    if (header->type == RESPONSE_HTTP) {
        out.literal("HTTP/1.1 ");
        out.number(header->status);
        out.literal(" ");
        out.literal(code_to_error(header->status));
    } else if (header->type == REQUEST_ICAP) {
        out.text(or_empty(header->method));
        out.literal(" ");
        out.text(or_empty(header->url));
        out.literal(" ICAP/1.0");
    } else if (mode == HEADER_SEND_ORIGIN) {
        out.text(or_empty(header->method));
        out.literal(" ");
        out.text(or_empty(header->path));
        out.literal(" HTTP/1.1");
    } else if (header->type == REQUEST_CONNECT) {
        out.literal("CONNECT ");
        out.text(or_empty(header->host));
        out.literal(":");
        out.number(header->port);
        out.literal(" HTTP/1.1");
    } else {
        // The absolute URL; with a user part it is written out here, as the
        // stored URL never carries one.
        out.text(or_empty(header->method));
        out.literal(" ");
        bool credentials = header->user != NULL && header->password != NULL;
        if (!credentials && header->url != NULL) {
            out.text(header->url);
        } else {
            out.text(or_empty(header->scheme));
            out.literal("://");
            if (credentials) {
                out.literal(userinfo_encoded(header->user).c_str());
                if (header->password[0] != '\0') {
                    out.literal(":");
                    out.literal(userinfo_encoded(header->password).c_str());
                }
                out.literal("@");
            }
            out.text(or_empty(header->host));
            out.literal(":");
            out.number(header->port);
            out.text(or_empty(header->path));
        }
        out.literal(" HTTP/1.1");
    }
    out.literal("\r\n");
}

void header_lines(HeaderWriter& out, const HEADER* header, const header_send_context_t& context)
{
    const HeaderLines& lines =
        (header->flags & HEADER_FILTERED) ? header->filtered_lines : header->lines;
    bool response = header->type == RESPONSE_HTTP;
    const char* host = header->host;
    if (host == NULL && context.request != NULL)
        host = context.request->host;
    for (const HTTP_HEADER& line : lines) {
        const char* name = line.name.c_str();
        // The cookie filter only passes or drops a cookie, so a passing line
        // goes on exactly as it came: rebuilding it could change what the
        // browser stores (attribute order, "sid=; Max-Age=0").
        if (header->type != REQUEST_ICAP && context.cookie_check != NULL &&
            (strncasecmp(name, "Set-Cookie", 10) == 0 || strncasecmp(name, "Cookie", 6) == 0)) {
            CookieHeader cookie(line.value);
            int direction = response ? COOKIE_INCOMING : COOKIE_OUTGOING;
            if (context.cookie_check(context.cookie_argument, direction, cookie) == 0) {
                if (response)
                    putlog(LOG_COOKIEFILTER, "blocked: incoming from %s", or_empty(host));
                else
                    putlog(LOG_COOKIEFILTER, "blocked: outgoing to %s", or_empty(host));
                continue;
            }
        }
        if (line.passthrough == 1)
            out.line(name, line.value.c_str());
    }
}

void origin_and_parent_lines(HeaderWriter& out, const HEADER* header)
{
    out.field("Authorization", header->authorization);
    out.field("If-Modified-Since", header->if_modified_since);
    out.field("Referer", header->referer);
    out.field("User-Agent", header->user_agent);
    out.field("Range", header->range);
    out.field("Accept-Encoding", header->accept_encoding);
    if (header->host != NULL) {
        out.literal("Host: ");
        out.text(header->host);
        if (header->type == REQUEST_CONNECT || header->port != protocol_port(header->scheme)) {
            out.literal(":");
            out.number(header->port);
        }
        out.literal("\r\n");
    } else {
        out.field("Host", header->host_header);
    }
    out.literal("Connection: keep-alive\r\n");
    out.field("X-Forwarded-For", header->x_forwarded_for);
    out.field("Via", header->via);
    out.field("Encapsulated", header->encapsulated);
    out.literal("\r\n");
}

void response_lines(HeaderWriter& out, const HEADER* header, const header_send_context_t& context)
{
    out.field("Cache-Control", header->cache_control);
    out.field("Expires", header->expires);
    out.field("Last-Modified", header->last_modified);
    out.field("Location", header->location);
    out.field("WWW-Authenticate", header->www_authenticate);
    out.field("Proxy-Authenticate", header->proxy_authenticate);
    out.field("Content-Encoding", header->content_encoding);
    bool transparent = context.request != NULL && context.request->type == REQUEST_TRANSPARENT;
    out.line(transparent ? "Connection" : "Proxy-Connection",
             context.client_keepalive ? "keep-alive" : "close");
    out.field("X-Cache", header->x_cache);
    out.field("Age", header->age);
    out.field("Warning", header->warning);
    if (header->www_authenticate != NULL)
        out.literal("Proxy-support: Session-Based-Authentication\r\n");
    out.literal("\r\n");
}

bool secret_line(const char* line, size_t length)
{
    const char* colon = (const char*)memchr(line, ':', length);
    return colon != NULL && header_secret_name(line, (size_t)(colon - line));
}

int connection_cookie_check(void* argument, int direction, CookieHeader& cookie)
{
    if (cookie_section == NULL)
        return 1;
    return cookie_section->check(direction, (CONNECTION_T*)argument, cookie);
}

long long monotonic_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Bytes the other socket may hold unread before header_get stops reading it:
// a peer that keeps sending while the header is awaited cannot grow memory.
const unsigned OTHER_SIDE_BUFFER_MAX = 65536;

// "\n" or "\r\n"
bool is_empty_line(const char* line, int length)
{
    return (length == 1 && line[0] == '\n') || (length == 2 && line[0] == '\r' && line[1] == '\n');
}

std::string version_text(CONNECTION_T* connection)
{
    auto found = connection->variables.find("VERSION");
    return found != connection->variables.end() ? found->second : product_version;
}

// "<old>, <addition>" or "<addition>"
void append_listed(char*& field, const std::string& addition)
{
    std::string value = field != NULL ? std::string(field) + ", " + addition : addition;
    free(field);
    field = xstrndup(value.data(), value.size());
    if (field == NULL)
        FATAL_ALLOC("src/header_io", value.size() + 1);
}

} // namespace

bool header_secret_name(const char* name, size_t length)
{
    static const char* const names[] = {"Cookie",        "Set-Cookie", "Cookie2", "Set-Cookie2",
                                        "Authorization", "Proxy-Authorization"};
    for (const char* secret : names)
        if (length == strlen(secret) && strncasecmp(name, secret, length) == 0)
            return true;
    return false;
}

std::string header_text_for_log(const char* text)
{
    std::string shown;
    while (text != NULL && *text != '\0') {
        const char* end = strchr(text, '\n');
        size_t length = end != NULL ? (size_t)(end - text + 1) : strlen(text);
        if (secret_line(text, length)) {
            const char* colon = strchr(text, ':');
            shown.append(text, (size_t)(colon - text + 1));
            shown += " ***";
            shown += end != NULL && end > text && end[-1] == '\r' ? "\r\n" : (end != NULL ? "\n" : "");
        } else {
            shown.append(text, length);
        }
        text += length;
    }
    return shown;
}

void header_serialise(Filebuf* buffer, const HEADER* header, const header_send_context_t& context,
                      int mode)
{
    HeaderWriter out(buffer);
    start_line(out, header, mode);
    header_lines(out, header, context);

    if (header->content_type != NULL && header->content_type[0] != '\0')
        out.line("Content-Type", header->content_type);
    // Chunked framing wins: a length beside it would let the next party
    // frame the body differently.
    if (header->chunked)
        out.literal("Transfer-Encoding: chunked\r\n");
    else if (header->flags & HEADER_HAS_LENGTH)
        out.line("Content-Length", std::to_string(header->content_length).c_str());

    if (mode == HEADER_SEND_RESPONSE) {
        response_lines(out, header, context);
        return;
    }
    if (mode == HEADER_SEND_PARENT) {
        out.literal("Proxy-Connection: keep-alive\r\n");
        // Only the parent's own credentials: what the client sent to log in
        // here is this proxy's business and never travels further.
        out.field("Proxy-Authorization", context.parent_auth);
        out.field("Cache-Control", header->cache_control);
    }
    origin_and_parent_lines(out, header);
}

void header_send_filebuf(Filebuf* out, HEADER* header, CONNECTION_T* connection, int mode)
{
    header_send_context_t context;
    context.request = connection->request;
    context.parent_auth = connection->parent_auth;
    context.client_keepalive = connection->client_keepalive;
    context.cookie_check = connection_cookie_check;
    context.cookie_argument = connection;
    header_serialise(out, header, context, mode);
}

// A new buffer per header cost a 64 KiB block allocated and released twice
// a request, and each time the allocator sorted its small free blocks. The
// first block is a small one, so that growing it clears nothing.
Filebuf& header_text_buffer()
{
    static thread_local Filebuf text;
    text.StartSmall();
    text.Resize(0);
    return text;
}

void header_send(HEADER* header, CONNECTION_T* connection, int side, int mode)
{
    if (side == SIDE_CLIENT && (connection->flags & CONN_NO_CLIENT))
        return;
    Filebuf& text = header_text_buffer();
    header_send_filebuf(&text, header, connection, mode);
    net_filebuf_send(&text, connection, side);
    Socket* socket = side == SIDE_CLIENT ? connection->client : connection->server;
    if (socket != NULL)
        socket->Flush();
}

void header_hold_for_body(HEADER* header, CONNECTION_T* connection, int mode)
{
    if ((connection->flags & CONN_NO_CLIENT) || connection->client == NULL)
        return;
    Filebuf& text = header_text_buffer();
    header_send_filebuf(&text, header, connection, mode);
    connection->client->NoDelayOnce();
    connection->client->Hold(text.data, text.size);
}

void header_send_redirect(CONNECTION_T* connection, const std::string& location)
{
    HEADER* answer = header_new();
    answer->type = RESPONSE_HTTP;
    answer->status = 302;
    answer->content_length = 0;
    answer->flags |= HEADER_HAS_LENGTH;
    answer->location = xstrndup(location.data(), location.size());
    if (answer->location == NULL)
        FATAL_ALLOC("src/header_io", location.size() + 1);
    header_send(answer, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    http_header_free(answer);
}

char* header_get(CONNECTION_T* connection, int side, int timeout)
{
    return header_get(connection, side, timeout, NULL);
}

char* header_get(CONNECTION_T* connection, int side, int timeout, int* refusal)
{
    if (refusal != NULL)
        *refusal = 0;
    Socket* reading = side == SIDE_CLIENT ? connection->client : connection->server;
    if (reading == NULL)
        return NULL;
    // The lines are gathered in this thread's own area, with room for the
    // closing "\r\n" and the terminator plus the slack GetLine needs to show
    // that a line did not fit; only the header found is copied out. A fresh
    // 16 KiB block per header made the allocator sort its small free blocks
    // (malloc_consolidate) on every request. The area is allocated, not a
    // thread_local array: the C library zero-fills a thread's whole static
    // TLS when the thread starts, which made all 16 KiB resident in every
    // worker; allocated, only the pages a header really fills are. Not
    // reentrant: nothing called below reads a header.
    static thread_local std::unique_ptr<char[]> area;
    if (!area)
        area.reset(new char[HEADER_BLOCK_MAX + 4]);
    char* block = area.get();
    size_t used = 0;
    int lines = 0;
    bool complete = false;
    int refused = 0;
    long long start = monotonic_ms();

    for (;;) {
        // Every whole line already buffered; a line is taken only once its
        // LF is there, so no read ever waits without the time-out. The lines
        // are copied as Socket::GetLine copies them (at most `room` + 3
        // bytes, the last cut to a NUL when the line is longer) but removed
        // from the buffer together, once: a body read with the header
        // would otherwise move, whole, once per header line.
        size_t taken = 0;
        while (taken < reading->read_pending) {
            const char* begin = reading->read_buffer + taken;
            const char* line_feed = (const char*)memchr(begin, '\n', reading->read_pending - taken);
            if (line_feed == NULL)
                break;
            size_t line_length = (size_t)(line_feed - begin) + 1;
            taken += line_length;
            size_t room = HEADER_BLOCK_MAX - used;
            int length = (int)Socket::CopyLine(block + used, (unsigned)room + 3, begin,
                                               (unsigned)line_length);
            if (is_empty_line(block + used, length)) {
                if (lines == 0)
                    continue;
                memcpy(block + used, "\r\n", 3);
                used += 2;
                complete = true;
                break;
            }
            if ((size_t)length > room) {
                refused = lines == 0 ? 414 : 431;
                break;
            }
            // A NUL would end the text early: what follows it would be
            // read by nobody here but by the next party.
            if (side == SIDE_CLIENT && memchr(block + used, '\0', (size_t)length) != NULL) {
                refused = 400;
                break;
            }
            used += (size_t)length;
            lines++;
        }
        reading->TakeBuffered((unsigned)taken);
        if (complete || refused)
            break;
        // A partial line that can no longer fit is refused without waiting
        // for its end.
        if (reading->read_pending > HEADER_BLOCK_MAX - used + 1) {
            refused = lines == 0 ? 414 : 431;
            break;
        }

        int wait = -1;
        if (timeout > 0) {
            long long left = (long long)timeout * 1000 - (monotonic_ms() - start);
            if (left <= 0)
                break;
            wait = (int)left;
        }
        Socket* other = side == SIDE_CLIENT ? connection->server : connection->client;
        struct pollfd watched[2] = {{reading->fd, POLLIN, 0}, {-1, POLLIN, 0}};
        nfds_t count = 1;
        if (other != NULL && other->read_pending < OTHER_SIDE_BUFFER_MAX) {
            watched[1].fd = other->fd;
            count = 2;
        }
        int ready = poll(watched, count, wait);
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, poll failed, socket unavailable",
                   errno, strerror(errno), "header_get");
            break;
        }
        if (ready == 0)
            continue; // the time-out check above ends the loop
        if (watched[0].revents & POLLIN) {
            if (reading->Read(NULL, -1) <= 0)
                break;
        } else if (watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            break;
        }
        if (count == 2 && (watched[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL))) {
            if (other->Read(NULL, -1) <= 0) {
                if (side == SIDE_SERVER)
                    break; // the client is gone: nobody waits for the answer
                delete connection->server;
                connection->server = NULL;
            }
        }
    }

    if (refused == 400) {
        putlog(LOG_SECURITY, "[IP:%s] request: header holding a NUL byte refused",
               or_empty(connection->client_ip));
    } else if (refused) {
        putlog(LOG_SECURITY, "[IP:%s] %s: header longer than %d characters refused",
               or_empty(connection->client_ip), side == SIDE_CLIENT ? "request" : "response",
               (int)HEADER_BLOCK_MAX);
    }
    if (refused) {
        if (refusal != NULL)
            *refusal = refused;
        return NULL;
    }
    if (used == 0)
        return NULL;
    block[used] = '\0';
    // Not cleared: the copy fills every byte.
    char* text = (char*)xrealloc_uncleared(NULL, used + 1);
    if (text == NULL)
        FATAL_ALLOC("src/header_io", used + 1);
    memcpy(text, block, used + 1);
    return text;
}

void via_header_update(CONNECTION_T* connection)
{
    HEADER* request = connection->request;
    if (request == NULL)
        return;
    std::string addition = std::string(or_empty(connection->interface_ip)) + ":" +
                           std::to_string(connection->port) + " (Kestrivan " +
                           version_text(connection) + ")";
    append_listed(request->via, addition);
}

void xcache_header_update(CONNECTION_T* connection, int miss)
{
    HEADER* response = connection->response;
    if (response == NULL)
        return;
    std::string addition =
        std::string(miss ? "MISS" : "HIT") + " from Kestrivan " + version_text(connection);
    append_listed(response->x_cache, addition);
}

// "<prefix>[<name in lower case, at most 1023 characters>]" into `key`.
static void header_variable_name(std::string& key, const std::string& prefix,
                                 const std::string& name)
{
    key.assign(prefix);
    key += '[';
    size_t name_start = key.size();
    key.append(name, 0, 1023);
    for (size_t i = name_start; i < key.size(); i++)
        if (key[i] >= 'A' && key[i] <= 'Z')
            key[i] = (char)(key[i] - 'A' + 'a');
    key += ']';
}

void header_variables(template_variables& variables, const std::string& prefix,
                      const HeaderLines& lines)
{
    std::string key;
    for (const HTTP_HEADER& line : lines) {
        header_variable_name(key, prefix, line.name);
        variables[key] = line.value;
    }
}

void header_variables(CONNECTION_T* connection, std::string prefix, HeaderLines& lines)
{
    // Built in one kept string and stored in the connection's kept slots:
    // no allocation once a connection has served a request or two.
    static thread_local std::string key;
    for (const HTTP_HEADER& line : lines) {
        header_variable_name(key, prefix, line.name);
        connection->variables.Set(key, line.value);
    }
}
