#include "http_client.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "base64.h"
#include "filebuf.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "socket.h"
#include "url.h"

namespace {

// Seconds every wait of a fetch may take.
const int FETCH_TIMEOUT = 60;
// Most characters of a response header block.
const unsigned HEADER_TEXT_MAX = 65536;

const char* const DEFAULT_USER_AGENT =
    "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)";

// A header value may not add lines to the request.
std::string one_line(const std::string& text) {
    std::string line = text;
    for (char& c : line)
        if (c == '\r' || c == '\n')
            c = ' ';
    return line;
}

std::string request_text(const URL* url, const std::list<HTTP_HEADER>* lines) {
    std::string text = "GET " + one_line(url->path) + " HTTP/1.1\r\nHost: " + one_line(url->host);
    if (url->port != 80)
        text += ":" + std::to_string(url->port);
    text += "\r\n";
    if (lines != nullptr) {
        for (const HTTP_HEADER& line : *lines)
            text += one_line(line.name) + ": " + one_line(line.value) + "\r\n";
    } else {
        text += std::string("User-Agent: ") + DEFAULT_USER_AGENT + "\r\n";
    }
    if (url->user != nullptr) {
        // The user part of a URL is percent-encoded; Basic carries the
        // plain name and password.
        char* user = url_authority_decode(url->user, strlen(url->user));
        char* password = url_authority_decode(url->password, strlen(url->password));
        std::string credentials = std::string(user != nullptr ? user : url->user) + ":" +
                                  (password != nullptr ? password : url->password);
        free(user);
        free(password);
        std::string encoded(base64_encoded_size(credentials.size()), '\0');
        to64frombits(&encoded[0], reinterpret_cast<const unsigned char*>(credentials.data()),
                     credentials.size());
        encoded.resize(strlen(encoded.c_str()));
        text += "Authorization: Basic " + encoded + "\r\n";
    }
    text += "Connection: close\r\n\r\n";
    return text;
}

// The response header block up to and including its empty line; "" when
// the peer closed, failed or timed out first, or the block is too long.
std::string read_header(Socket& socket) {
    std::string block;
    char line[8192];
    for (;;) {
        int got = socket.GetLine(line, sizeof line, FETCH_TIMEOUT);
        if (got <= 0)
            return std::string();
        block.append(line, static_cast<size_t>(got));
        if (block.size() > HEADER_TEXT_MAX)
            return std::string();
        if (strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0) {
            if (block.size() == static_cast<size_t>(got)) {
                block.clear(); // blank lines before the status line
                continue;
            }
            return block;
        }
    }
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

HTTPRESPONSE* http_fetch(const URL* url, const std::list<HTTP_HEADER>* lines) {
    if (url == nullptr || url->scheme == nullptr || strcmp(url->scheme, "http") != 0) {
        putlog(LOG_NETWORK, "error: internal fetch of %s: only http URLs can be fetched",
               url != nullptr && url->scheme != nullptr ? url->scheme : "(none)");
        return nullptr;
    }
    int fd = net_connect(url->host, url->port, FETCH_TIMEOUT);
    if (fd < 0) {
        putlog(LOG_NETWORK, "error: internal fetch: cannot connect to %s:%d", url->host, url->port);
        return nullptr;
    }
    Socket socket(fd);
    std::string request = request_text(url, lines);
    if (socket.Write(request.data(), static_cast<int>(request.size())) == -1) {
        putlog(LOG_NETWORK, "error: internal fetch: cannot send the request to %s:%d", url->host,
               url->port);
        return nullptr;
    }
    socket.Flush();

    std::string block = read_header(socket);
    HEADER* header = block.empty() ? nullptr : http_header_parse_response(block.c_str());
    if (header == nullptr) {
        putlog(LOG_NETWORK, "error: internal fetch: no response header from %s:%d", url->host,
               url->port);
        return nullptr;
    }
    Filebuf* body = new Filebuf();
    if (!read_body(socket, header, body)) {
        putlog(LOG_NETWORK, "error: internal fetch: incomplete response body from %s:%d",
               url->host, url->port);
        delete body;
        http_header_free(header);
        return nullptr;
    }
    auto* response = static_cast<HTTPRESPONSE*>(xmalloc(sizeof(HTTPRESPONSE)));
    if (response == nullptr)
        FATAL_ALLOC("src/http_client", static_cast<unsigned>(sizeof(HTTPRESPONSE)));
    response->header = header;
    response->body = body;
    return response;
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
