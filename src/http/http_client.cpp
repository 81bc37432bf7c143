#include "http/http_client.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "auth/base64.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/upstream.h"
#include "http/url.h"
#include "net/connection.h"
#include "net/socket.h"

namespace {

// Seconds every wait of a fetch may take.
const int FETCH_TIMEOUT = 60;

const char* const DEFAULT_USER_AGENT =
    "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)";

// "Basic " and the Base64 of user:password, both percent-decoded from the
// URL's user part.
std::string basic_credentials(const URL* url) {
    char* user = url_authority_decode(url->user, strlen(url->user));
    char* password = url_authority_decode(url->password, strlen(url->password));
    std::string plain = std::string(user != nullptr ? user : url->user) + ":" +
                        (password != nullptr ? password : url->password);
    free(user);
    free(password);
    std::string encoded(base64_encoded_size(plain.size()), '\0');
    to64frombits(&encoded[0], reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    encoded.resize(strlen(encoded.c_str()));
    return "Basic " + encoded;
}

// The GET request of the URL: proxy form, HTTP/1.1, the caller's lines or
// the default User-Agent line, Basic credentials of the URL's user part.
HEADER* request_of(const URL* url, const HeaderLines* lines) {
    HEADER* request = header_new();
    request->type = REQUEST_PROXY;
    request->version = HTTP_VERSION_11;
    request->method = xstrdup("GET");
    request->scheme = xstrdup(url->scheme);
    request->host = xstrdup(url->host);
    request->path = xstrdup(url->path);
    request->port = url->port;
    header_complete(request);
    if (lines != nullptr)
        request->lines = *lines;
    else
        request->lines.push_back(HTTP_HEADER{1, "User-Agent", DEFAULT_USER_AGENT});
    if (url->user != nullptr) {
        request->user = xstrdup(url->user);
        request->password = xstrdup(url->password);
        request->authorization = xstrdup(basic_credentials(url).c_str());
    }
    return request;
}

// Appends exactly `count` bytes; false when the peer stops short.
bool read_exactly(Socket& socket, Filebuf* body, uint64_t count) {
    char piece[16384];
    while (count > 0) {
        int want = count < sizeof piece ? static_cast<int>(count) : static_cast<int>(sizeof piece);
        int got = socket.Read(piece, want, FETCH_TIMEOUT);
        if (got <= 0)
            return false;
        body->Add(piece, static_cast<unsigned>(got));
        count -= static_cast<uint64_t>(got);
    }
    return true;
}

bool read_until_close(Socket& socket, Filebuf* body) {
    char piece[16384];
    for (;;) {
        int got = socket.Read(piece, sizeof piece, FETCH_TIMEOUT);
        if (got == 0)
            return true;
        if (got < 0)
            return false;
        if (body->size + static_cast<uint64_t>(got) > HTTP_CLIENT_BODY_MAX)
            return false;
        body->Add(piece, static_cast<unsigned>(got));
    }
}

// A chunked body: hexadecimal sizes, each chunk followed by CRLF, a last
// chunk of size 0 and optional trailer lines up to an empty line.
bool read_chunked(Socket& socket, Filebuf* body) {
    char line[1024];
    for (;;) {
        if (socket.GetLine(line, sizeof line, FETCH_TIMEOUT) <= 0)
            return false;
        char* end = nullptr;
        unsigned long long size = strtoull(line, &end, 16);
        if (end == line || (*end != '\r' && *end != '\n' && *end != ';' && *end != ' '))
            return false;
        if (size == 0)
            break;
        if (body->size + size > HTTP_CLIENT_BODY_MAX)
            return false;
        if (!read_exactly(socket, body, size))
            return false;
        if (socket.GetLine(line, sizeof line, FETCH_TIMEOUT) <= 0 ||
            (strcmp(line, "\r\n") != 0 && strcmp(line, "\n") != 0))
            return false;
    }
    for (;;) { // trailer
        if (socket.GetLine(line, sizeof line, FETCH_TIMEOUT) <= 0)
            return false;
        if (strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0)
            return true;
    }
}

bool read_body(Socket& socket, const HEADER* header, Filebuf* body) {
    if ((header->status >= 100 && header->status < 200) || header->status == 204 ||
        header->status == 304)
        return true;
    if (header->chunked)
        return read_chunked(socket, body);
    if (header->flags & HEADER_HAS_LENGTH) {
        if (header->content_length > HTTP_CLIENT_BODY_MAX)
            return false;
        return read_exactly(socket, body, header->content_length);
    }
    return read_until_close(socket, body);
}

} // namespace

HTTPRESPONSE* http_fetch(const URL* url, const HeaderLines* lines) {
    if (url == nullptr || url->scheme == nullptr ||
        (strcmp(url->scheme, "http") != 0 && strcmp(url->scheme, "https") != 0)) {
        putlog(LOG_NETWORK, "error: internal fetch: only http and https URLs can be fetched");
        return nullptr;
    }
    CONNECTION_T* connection = connection_new();
    connection->flags |= CONN_NO_CLIENT | CONN_INTERNAL;
    if (strcmp(url->scheme, "https") == 0)
        connection->flags |= CONN_SSL_UPSTREAM;
    connection->client_ip = xstrdup("127.0.0.1");
    connection->interface_ip = xstrdup("127.0.0.1");
    connection->request = request_of(url, lines);

    HTTPRESPONSE* result = nullptr;
    if (protocol_start(connection) < 0) {
        putlog(LOG_NETWORK, "error: internal fetch: cannot connect to %s:%d", url->host, url->port);
    } else {
        header_send(connection->request, connection, SIDE_SERVER, HEADER_SEND_ORIGIN);
        char* text = header_get_reconnect(connection, FETCH_TIMEOUT);
        HEADER* header = text != nullptr ? http_header_parse_response(text) : nullptr;
        free(text);
        if (header == nullptr) {
            putlog(LOG_NETWORK, "error: internal fetch: no response header from %s:%d",
                   url->host, url->port);
            connection->server_keepalive = 0;
        } else {
            connection->response = header;
            Filebuf* body = new Filebuf();
            if (connection->server != nullptr && read_body(*connection->server, header, body)) {
                keepalive_check_server(connection);
                result = static_cast<HTTPRESPONSE*>(xmalloc(sizeof(HTTPRESPONSE)));
                if (result == nullptr)
                    FATAL_ALLOC("src/http_client", static_cast<unsigned>(sizeof(HTTPRESPONSE)));
                result->header = header;
                result->body = body;
                connection->response = nullptr; // now the caller's
            } else {
                putlog(LOG_NETWORK, "error: internal fetch: incomplete response body from %s:%d",
                       url->host, url->port);
                connection->server_keepalive = 0; // the rest of the body is still on it
                delete body;
            }
        }
    }
    // Parks a kept-alive upstream for the next fetch of the same place,
    // drops any other, and frees the request.
    connection_reset(connection);
    connection_free(connection);
    return result;
}

void httpresponse_free(HTTPRESPONSE* response) {
    if (response == nullptr)
        return;
    http_header_free(response->header);
    delete response->body;
    free(response);
}

int http_fetch_document(const std::string& address, int* status, Filebuf** body) {
    *status = 0;
    *body = nullptr;
    URL* url = url_parse(address.c_str());
    if (url == nullptr)
        return 0;
    HTTPRESPONSE* response = http_fetch(url, nullptr);
    url_free(url);
    if (response == nullptr)
        return 0;
    *status = response->header->status;
    if (*status == 200) {
        *body = response->body;
        response->body = nullptr;
    }
    httpresponse_free(response);
    return 1;
}
