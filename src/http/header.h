// HEADER: one parsed HTTP (or ICAP) request or response header, with the
// fields the proxy acts on and the list of every header line as received;
// the parsers that make it from received text and the small helpers around
// it. Writing a HEADER back as text is header_io.h.
//
// Ownership: whoever makes a HEADER frees it with http_header_free. Every
// char* field is a separately allocated string owned by the record (NULL
// when absent). A HEADER belongs to one thread; nothing here locks except
// conditional_header, which reads the cached object's time through the
// cache section.
//
// What the parsers refuse, and the status the request parser reports for
// it (the caller answers the client with that status and closes):
//   400  an empty text; a request line without method or target, with more
//        than three words, a method over HEADER_METHOD_MAX or a version word
//        over HEADER_VERSION_MAX characters; a proxy-form target without a
//        usable scheme, with an empty or invalid host, a port outside
//        1-65535, or a user name or password over URL_CREDENTIAL_MAX
//        characters (after decoding) or decoding to a zero byte; a header
//        name with a blank in it or before its ':'; a folded (continued)
//        header line; more than one Host header or an invalid one; Content-Length values that are not decimal digits,
//        overflow, or disagree; a Transfer-Encoding in an HTTP/1.0 request,
//        one whose last coding is not chunked, or one naming chunked twice
//   414  a request target over HEADER_TARGET_MAX characters
//   431  a header line over HEADER_LINE_MAX characters
//   501  a Transfer-Encoding that names other codings before chunked
// Responses are held to the same framing rules (a failing one gives NULL,
// which the caller answers as a bad response), but a folded line is joined
// to the line before it with one blank, blanks between a name and its ':'
// are dropped, and header lines have no length limit of their own.
// In both, a line whose name holds other bytes a name may not hold (or is
// empty) is ignored, like a line without ':'.
//
// Hop-by-hop fields: every field an HTTP message's Connection header names
// (other than Content-Length, Transfer-Encoding and Host, which a peer may
// not take away, and Proxy-Authorization and Proxy-Authenticate, which the
// proxy consumes itself) is removed from the message as parsed: its value in the
// record is cleared and its line is kept in `lines` but never written on
// (passthrough 0), in requests and responses alike (RFC 9110, 7.6.1).
//
// Framing: when a message carries both Content-Length and
// "Transfer-Encoding: chunked", chunked wins: the length is dropped (it is
// never written back) and keep_alive and proxy_keep_alive become 0, so the
// connection is closed after the exchange.
#pragma once

#include <stddef.h>
#include <time.h>

#include <string>
#include <vector>

struct CACHEMAP;

// One header line.
struct HTTP_HEADER {
    // 1: the serialiser writes the line back as received; 0: the line belongs
    // to a field of the HEADER and is written from that field, or not at all.
    int passthrough;
    std::string name;  // as received (case kept), the text before the ':'
    std::string value; // the text after the ':', blanks around it removed
};

// A message's header lines, in order: one block for all of them, where a
// list took an allocation per line (a response brings a dozen or so).
using HeaderLines = std::vector<HTTP_HEADER>;

// Kinds of message (HEADER::type).
enum {
    REQUEST_CONNECT = 0,
    RESPONSE_HTTP = 1,
    REQUEST_PROXY = 2,
    REQUEST_TRANSPARENT = 3,
    REQUEST_ICAP = 4,
};

// HEADER::version
enum {
    HTTP_VERSION_09 = 0, // a reply without status line
    HTTP_VERSION_10 = 1, // anything but HTTP/1.1
    HTTP_VERSION_11 = 2,
};

// HEADER::flags
enum {
    HEADER_FILTERED = 0x1,     // write filtered_lines instead of lines
    HEADER_HAS_LENGTH = 0x2,   // content_length is valid
    HEADER_DEFAULT_PORT = 0x4, // the request URL named no port
};

// Limits of received text, in characters.
enum {
    HEADER_METHOD_MAX = 23,
    HEADER_TARGET_MAX = 2047,
    HEADER_VERSION_MAX = 9,
    HEADER_LINE_MAX = 4095,          // one request header line, without its line end
    HEADER_STATUS_LINE_MAX = 255,    // a response's first line with its LF
};

// Header lines a parsed message is given room for at once (more still fit).
// Twelve lines stay within the allocator's per-thread cache
// (ALLOCATOR_THREAD_CACHE_MAX, core/mem.h); room for sixteen did not, and
// made requests slower than an allocation per line had.
constexpr size_t HEADER_LINES_EXPECTED = 12;

struct HEADER {
    char* raw = nullptr;  // text as received up to and including the empty line
    char* url = nullptr;  // "<scheme>://<host>:<port><path>" (header_complete)
    int type = 0;
    int version = 0;
    int port = 0;
    int status = -1;
    size_t content_length = 0; // valid while HEADER_HAS_LENGTH is set
    int chunked = 0;
    int keep_alive = -1;       // Connection: 1 keep-alive, 0 close, -1 absent
    int proxy_keep_alive = -1; // Proxy-Connection: the same
    char* user = nullptr;      // URL user part, decoded
    char* password = nullptr;  // "" when the user part had none
    char* method = nullptr;
    char* scheme = nullptr;
    char* host = nullptr;
    char* path = nullptr;
    char* referer = nullptr;
    char* user_agent = nullptr;
    char* location = nullptr;
    char* content_type = nullptr;
    char* content_encoding = nullptr;
    char* accept_encoding = nullptr;
    char* www_authenticate = nullptr;
    char* authorization = nullptr;
    char* range = nullptr;
    char* proxy_authenticate = nullptr;
    char* proxy_authorization = nullptr;
    char* host_header = nullptr;
    char* mime_type = nullptr; // content_type without its parameters
    char* cache_control = nullptr;
    char* expires = nullptr;
    char* if_modified_since = nullptr;
    char* last_modified = nullptr;
    char* warning = nullptr; // set for cache hits; never parsed
    char* age = nullptr;     // set for cache hits; never parsed
    char* x_cache = nullptr;
    char* x_forwarded_for = nullptr;
    char* via = nullptr;
    char* encapsulated = nullptr;
    HeaderLines lines;          // every parsed line, in order
    HeaderLines filtered_lines; // used while HEADER_FILTERED is set
    unsigned flags = 0;
};

// New empty record: strings NULL, status -1, keep_alive and
// proxy_keep_alive -1, everything else 0 or empty.
HEADER* header_new();

// Frees the strings, both lists and the record; NULL is ignored.
void http_header_free(HEADER* header);

// Deep copy: strings, numbers, flags and both line lists.
HEADER* http_header_dup(const HEADER* header);

// Characters up to and including the LF that ends the first empty line (two
// LFs with only CRs between them); the count so far when a NUL or `max`
// characters come first; 0 for max 0 or an empty text. (unsigned)-1: no
// limit.
int header_length(const char* text, unsigned max);

// RESPONSE_HTTP when the first min(len, 5) characters are "HTTP/" ignoring
// case, else REQUEST_TRANSPARENT.
int header_type(const char* text, unsigned len);

// Replaces `url` by "<scheme>://<host>:<port><path>" (never cut).
void header_complete(HEADER* header);

// Parses the header lines of text (its first line is skipped) into the
// record, by the rules of the record's type (requests or responses, see
// above). Returns 0, or the status of a refusal (400, 431, 501; a response
// that breaks the framing rules gives 502). A refused text may leave some
// fields set; callers free the record.
int http_header_list_parse(HEADER* header, const char* text);

// Parses a request header. NULL when refused; then `refusal` (when not
// NULL) receives the status to answer with (400, 414, 431 or 501) and
// "security: malformatted request header" is logged at LOG_ERROR.
HEADER* http_header_parse_request(const char* text);
HEADER* http_header_parse_request(const char* text, int* refusal);

// Parses a response header; NULL when it cannot be used (no LF, a first line
// of HEADER_STATUS_LINE_MAX characters or more, a status outside 100-999,
// broken framing). A first line that is not a status line makes a reply
// without status line: version 0, status 200, raw "HTTP/1.1 200 OK\r\n\r\n",
// no lines (the caller hands the text back to the body).
HEADER* http_header_parse_response(const char* text);

// Makes the request conditional on a cached copy: if_modified_since becomes
// the object's stored time (read through the cache section) in the HTTP date
// form "%a, %d %b %Y %H:%M:%S GMT" of UTC.
void conditional_header(HEADER* request, CACHEMAP* object);

// The same with the stored time given.
void header_set_if_modified_since(HEADER* request, time_t stored_time);
