// Fuzz target of the HEADER parsers: requests and responses are parsed,
// checked against the record's invariants, written back in every send mode
// and parsed again.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/filebuf.h"
#include "fuzz_check.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/url.h"

namespace {

bool is_token(const std::string& text)
{
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              strchr("!#$%&'*+-.^_`|~", c) != NULL) || c == 0)
            return false;
    return true;
}

void check_lines(const HEADER* header)
{
    for (const HTTP_HEADER& line : header->lines) {
        FUZZ_CHECK(is_token(line.name));
        FUZZ_CHECK(line.value.find_first_of("\r\n") == std::string::npos);
    }
    FUZZ_CHECK(!(header->chunked && (header->flags & HEADER_HAS_LENGTH)));
}

void check_request(const HEADER* header)
{
    FUZZ_CHECK(header->method != NULL && header->scheme != NULL && header->path != NULL);
    FUZZ_CHECK(header->path[0] == '/');
    FUZZ_CHECK(header->raw != NULL);
    if (header->type == REQUEST_PROXY || header->type == REQUEST_CONNECT) {
        FUZZ_CHECK(header->host != NULL && header->host[0] != '\0');
        FUZZ_CHECK(url_host_valid(header->host, strlen(header->host)));
        FUZZ_CHECK((header->port >= 1 && header->port <= 65535) ||
                   (header->port == 0 && (header->flags & HEADER_DEFAULT_PORT)));
        FUZZ_CHECK(header->url != NULL);
    }
    FUZZ_CHECK((header->user == NULL) == (header->password == NULL));
    check_lines(header);
}

// The written text: one header whose only empty line is its end, CRLF line
// ends only, and never two framings.
std::string written(const HEADER* header, const HEADER* request, int mode)
{
    header_send_context_t context;
    context.request = request;
    context.client_keepalive = 1;
    Filebuf out;
    header_serialise(&out, header, context, mode);
    std::string text(out.data, out.size);
    FUZZ_CHECK(text.size() >= 4 && text.compare(text.size() - 4, 4, "\r\n\r\n") == 0);
    FUZZ_CHECK(text.find("\r\n\r\n") == text.size() - 4);
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\n')
            FUZZ_CHECK(i > 0 && text[i - 1] == '\r');
        if (text[i] == '\r')
            FUZZ_CHECK(i + 1 < text.size() && text[i + 1] == '\n');
    }
    bool length = text.find("\r\nContent-Length:") != std::string::npos;
    bool chunked = text.find("\r\nTransfer-Encoding: chunked\r\n") != std::string::npos;
    FUZZ_CHECK(!(length && chunked));
    return text;
}

void same_framing(const HEADER* a, const HEADER* b)
{
    FUZZ_CHECK(a->chunked == b->chunked);
    FUZZ_CHECK((a->flags & HEADER_HAS_LENGTH) == (b->flags & HEADER_HAS_LENGTH));
    FUZZ_CHECK(a->content_length == b->content_length);
}

void request_round_trip(const HEADER* request)
{
    for (int mode : {HEADER_SEND_ORIGIN, HEADER_SEND_PARENT, HEADER_SEND_RESPONSE})
        written(request, request, mode);
    // What goes to a parent is read there as the same request.
    if (request->type != REQUEST_PROXY || request->port == 0)
        return;
    std::string text = written(request, request, HEADER_SEND_PARENT);
    int refusal = 0;
    HEADER* again = http_header_parse_request(text.c_str(), &refusal);
    // Encoding what cannot be sent as it is may take a target past the
    // length a parent reads, and the blank written after each ':' a line;
    // nothing else may keep it from reading the request.
    if (again == NULL) {
        FUZZ_CHECK(refusal == 414 || refusal == 431);
        return;
    }
    FUZZ_CHECK(strcmp(again->method, request->method) == 0);
    FUZZ_CHECK(strcmp(again->host, request->host) == 0);
    FUZZ_CHECK(strcmp(again->path, request->path) == 0);
    FUZZ_CHECK(again->port == request->port);
    FUZZ_CHECK((again->user == NULL) == (request->user == NULL));
    FUZZ_CHECK(request->user == NULL || (strcmp(again->user, request->user) == 0 &&
                                         strcmp(again->password, request->password) == 0));
    same_framing(again, request);
    http_header_free(again);
}

void response_round_trip(const HEADER* response)
{
    FUZZ_CHECK(response->raw != NULL);
    check_lines(response);
    if (response->version == HTTP_VERSION_09) {
        FUZZ_CHECK(response->status == 200 && response->lines.empty());
        return;
    }
    FUZZ_CHECK(response->status >= 100 && response->status <= 999);
    std::string text = written(response, NULL, HEADER_SEND_RESPONSE);
    HEADER* again = http_header_parse_response(text.c_str());
    FUZZ_CHECK(again != NULL);
    FUZZ_CHECK(again->status == response->status);
    same_framing(again, response);
    HEADER* copy = http_header_dup(again);
    http_header_free(again);
    http_header_free(copy);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);
    const char* c_text = text.c_str();

    int refusal = -1;
    HEADER* request = http_header_parse_request(c_text, &refusal);
    if (request == NULL) {
        FUZZ_CHECK(refusal == 400 || refusal == 414 || refusal == 431 || refusal == 501);
    } else {
        FUZZ_CHECK(refusal == 0);
        check_request(request);
        request_round_trip(request);
        http_header_free(request);
    }

    HEADER* response = http_header_parse_response(c_text);
    if (response != NULL) {
        response_round_trip(response);
        http_header_free(response);
    }

    unsigned limit = size > 0 ? data[0] : 0;
    int length = header_length(c_text, limit);
    FUZZ_CHECK(length >= 0 && (size_t)length <= strlen(c_text) && (unsigned)length <= limit);
    return 0;
}
