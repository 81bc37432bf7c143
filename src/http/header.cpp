// HEADER record and parsers; see header.h for the contract.
#include "http/header.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "cache/cache.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "http/url.h"

namespace {

// Replaces an owned string field by a copy of `length` characters.
void set_field(char*& field, const char* text, size_t length)
{
    char* copy = xstrndup(text, length);
    if (copy == NULL)
        FATAL_ALLOC("src/header", length + 1);
    free(field);
    field = copy;
}

void set_field(char*& field, const std::string& value)
{
    set_field(field, value.data(), value.size());
}

char* copy_or_null(const char* text)
{
    char* copy = NULL;
    if (text != NULL)
        set_field(copy, text, strlen(text));
    return copy;
}

inline bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// Characters of a token (field names, methods): RFC 9110 tchar.
inline bool is_tchar(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
        return true;
    default:
        return false;
    }
}

bool is_token(const std::string& text)
{
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (!is_tchar(c))
            return false;
    return true;
}

// `text` without the blanks around it, as a view into it.
std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Calls visit(element) for each trimmed, non-empty element of a
// comma-separated list, in order, while it returns true. The elements are
// views into `value`: a message's Connection and Content-Length lines are
// read on every request, and a copy of each element would cost allocations.
template <class Visit>
void each_list_element(std::string_view value, Visit visit)
{
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos)
            comma = value.size();
        std::string_view element = trimmed(value.substr(start, comma - start));
        if (!element.empty() && !visit(element))
            return;
        start = comma + 1;
    }
}

// True when `text` is `name`, case aside.
bool same_name(std::string_view text, const char* name)
{
    size_t length = strlen(name);
    return text.size() == length && strncasecmp(text.data(), name, length) == 0;
}

// Decodes an authority piece into out; false when it holds a zero byte.
bool authority_decode(const char* text, size_t length, std::string& out)
{
    char* decoded = url_authority_decode(text, length);
    if (decoded == NULL)
        return false;
    out = decoded;
    free(decoded);
    return true;
}

// Value of a Connection or Proxy-Connection header: 0 when any of its
// options is "close", 1 when one is "keep-alive", else `current`.
int connection_option(const std::string& value, int current)
{
    bool keep_alive = false, close = false;
    each_list_element(value, [&](std::string_view option) {
        if (same_name(option, "close")) {
            close = true;
            return false;
        }
        if (option.size() >= 10 && strncasecmp(option.data(), "keep-alive", 10) == 0)
            keep_alive = true;
        return true;
    });
    if (close)
        return 0;
    return keep_alive ? 1 : current;
}

// What the line parser learns about the framing while it walks the lines.
struct Framing {
    bool length_seen = false;
    bool length_invalid = false;
    size_t length = 0;
    bool coding_seen = false;
    std::vector<std::string> codings; // transfer codings in order, lower-case
    int host_lines = 0;
};

// Reads a Content-Length value: one or more decimal numbers joined by commas,
// all equal, and equal to any earlier Content-Length.
void read_content_length(const std::string& value, Framing& framing)
{
    if (value.find_first_not_of("0123456789, \t") != std::string::npos) {
        framing.length_invalid = true;
        return;
    }
    bool any = false;
    each_list_element(value, [&](std::string_view element) {
        any = true;
        size_t number = 0;
        for (char c : element) {
            if (c < '0' || c > '9') {
                framing.length_invalid = true;
                return false;
            }
            size_t digit = (size_t)(c - '0');
            if (number > (SIZE_MAX - digit) / 10) {
                framing.length_invalid = true;
                return false;
            }
            number = number * 10 + digit;
        }
        if (framing.length_seen && number != framing.length) {
            framing.length_invalid = true;
            return false;
        }
        framing.length_seen = true;
        framing.length = number;
        return true;
    });
    if (!any)
        framing.length_invalid = true;
}

void read_transfer_coding(const std::string& value, Framing& framing)
{
    framing.coding_seen = true;
    each_list_element(value, [&](std::string_view element) {
        std::string coding(trimmed(element.substr(0, element.find(';'))));
        string_tolower(&coding[0]);
        framing.codings.push_back(coding);
        return true;
    });
}

bool is_request(const HEADER* header)
{
    return header->type == REQUEST_CONNECT || header->type == REQUEST_PROXY ||
           header->type == REQUEST_TRANSPARENT;
}

// True when the field name is `literal`, case aside. Most lines name none
// of the fields the parser knows: comparing the lengths first spares them
// a string comparison against every one.
template <size_t N>
bool is_name(const std::string& name, const char (&literal)[N])
{
    return name.size() == N - 1 && strcasecmp(name.c_str(), literal) == 0;
}

// Assigns one logical header line to the record. Returns 0 or a refusal.
int parse_line(HEADER* header, const std::string& line, Framing& framing)
{
    bool request = is_request(header);
    size_t colon = line.find(':');
    // A line without ':' or with nothing after it is not a header line.
    if (colon == std::string::npos || colon + 1 == line.size())
        return 0;
    // Name and value are cut from the line where their blanks end, each
    // copied once.
    size_t name_start = 0, name_end = colon;
    if (name_end > 0 && is_blank(line[name_end - 1])) {
        // Blanks before the ':' let two parties read two different names.
        if (request)
            return 400;
        while (name_start < name_end && is_blank(line[name_start]))
            name_start++;
        while (name_end > name_start && is_blank(line[name_end - 1]))
            name_end--;
    }
    std::string name(line, name_start, name_end - name_start);
    if (!is_token(name)) {
        if (request && name.find_first_of(" \t") != std::string::npos)
            return 400;
        return 0;
    }
    size_t value_start = colon + 1, value_end = line.size();
    while (value_start < value_end && is_blank(line[value_start]))
        value_start++;
    while (value_end > value_start && is_blank(line[value_end - 1]))
        value_end--;
    std::string value(line, value_start, value_end - value_start);
    int passthrough = 0;

    if (is_name(name, "Content-length")) {
        read_content_length(value, framing);
        if (framing.length_seen && !framing.length_invalid) {
            header->content_length = framing.length;
            header->flags |= HEADER_HAS_LENGTH;
        }
    } else if (is_name(name, "Transfer-Encoding")) {
        read_transfer_coding(value, framing);
    } else if (is_name(name, "Content-Type")) {
        set_field(header->content_type, value);
        set_field(header->mime_type, value.data(), std::min(value.size(), value.find(';')));
    } else if (is_name(name, "Content-Encoding")) {
        set_field(header->content_encoding, value);
    } else if (is_name(name, "Accept-Encoding")) {
        set_field(header->accept_encoding, value);
    } else if (is_name(name, "Location")) {
        set_field(header->location, value);
    } else if (is_name(name, "Authorization")) {
        set_field(header->authorization, value);
    } else if (is_name(name, "Proxy-Authenticate")) {
        set_field(header->proxy_authenticate, value);
    } else if (is_name(name, "Proxy-Authorization")) {
        set_field(header->proxy_authorization, value);
    } else if (is_name(name, "Referer")) {
        set_field(header->referer, value);
    } else if (is_name(name, "User-Agent")) {
        set_field(header->user_agent, value);
    } else if (is_name(name, "Cache-Control")) {
        set_field(header->cache_control, value);
    } else if (is_name(name, "Expires")) {
        set_field(header->expires, value);
    } else if (is_name(name, "If-Modified-Since")) {
        set_field(header->if_modified_since, value);
    } else if (is_name(name, "Last-Modified")) {
        set_field(header->last_modified, value);
    } else if (is_name(name, "Range")) {
        set_field(header->range, value);
    } else if (is_name(name, "Via")) {
        set_field(header->via, value);
    } else if (is_name(name, "Encapsulated")) {
        set_field(header->encapsulated, value);
    } else if (is_name(name, "X-Forwarded-For")) {
        set_field(header->x_forwarded_for, value);
    } else if (is_name(name, "Host")) {
        framing.host_lines++;
        set_field(header->host_header, value);
    } else if (is_name(name, "WWW-Authenticate")) {
        set_field(header->www_authenticate, value);
        passthrough = 1;
    } else if (is_name(name, "X-Cache")) {
        if (header->x_cache == NULL)
            set_field(header->x_cache, value);
        else
            passthrough = 1;
    } else if (is_name(name, "TE") || is_name(name, "Trailers") ||
               is_name(name, "Upgrade") || is_name(name, "Keep-Alive")) {
        // Hop-by-hop: listed, never written back.
    } else if (is_name(name, "Connection")) {
        header->keep_alive = connection_option(value, header->keep_alive);
    } else if (is_name(name, "Proxy-Connection")) {
        header->proxy_keep_alive = connection_option(value, header->proxy_keep_alive);
    } else {
        passthrough = 1;
    }
    header->lines.push_back(HTTP_HEADER{passthrough, std::move(name), std::move(value)});
    return 0;
}

// A connection option that names no field to remove: the options
// themselves, and fields whose removal would change how the message is
// framed or where it goes (a peer must never list them; one that does is
// not obeyed, so the two hops cannot read the message differently), and the
// proxy credentials and challenges, which are this hop's by nature and
// which the proxy consumes itself.
bool option_keeps_its_field(std::string_view option)
{
    static const char* const kept[] = {"close", "keep-alive", "Connection", "Proxy-Connection",
                                       "Content-Length", "Transfer-Encoding", "Host",
                                       "Proxy-Authorization", "Proxy-Authenticate"};
    for (const char* name : kept)
        if (same_name(option, name))
            return true;
    return false;
}

// Fields the record holds apart from its lines, by name.
struct field_member_t {
    const char* name;
    char* HEADER::*member;
};

const field_member_t FIELD_MEMBERS[] = {
    {"Content-Type", &HEADER::content_type},     {"Content-Type", &HEADER::mime_type},
    {"Content-Encoding", &HEADER::content_encoding},
    {"Accept-Encoding", &HEADER::accept_encoding}, {"Location", &HEADER::location},
    {"Authorization", &HEADER::authorization},   {"Referer", &HEADER::referer},
    {"User-Agent", &HEADER::user_agent},         {"Cache-Control", &HEADER::cache_control},
    {"Expires", &HEADER::expires},               {"If-Modified-Since", &HEADER::if_modified_since},
    {"Last-Modified", &HEADER::last_modified},   {"Range", &HEADER::range},
    {"Via", &HEADER::via},                       {"Encapsulated", &HEADER::encapsulated},
    {"X-Forwarded-For", &HEADER::x_forwarded_for}, {"WWW-Authenticate", &HEADER::www_authenticate},
    {"X-Cache", &HEADER::x_cache},
};

// Hop-by-hop fields (RFC 9110, 7.6.1): every field a Connection header
// names belongs to this hop only. It is taken out of the message before
// anything acts on it - its value in the record is cleared and its line is
// never written on - so the message the proxy reasons about is the message
// it forwards. The line stays in `lines` (header variables still show it).
void drop_connection_options(HEADER* header)
{
    std::vector<std::string> options;
    for (const HTTP_HEADER& line : header->lines)
        if (strcasecmp(line.name.c_str(), "Connection") == 0)
            each_list_element(line.value, [&](std::string_view option) {
                if (!option_keeps_its_field(option))
                    options.emplace_back(option);
                return true;
            });
    for (const std::string& option : options) {
        for (const field_member_t& field : FIELD_MEMBERS) {
            if (strcasecmp(field.name, option.c_str()) != 0)
                continue;
            free(header->*field.member);
            header->*field.member = NULL;
        }
        for (HTTP_HEADER& line : header->lines)
            if (strcasecmp(line.name.c_str(), option.c_str()) == 0)
                line.passthrough = 0;
    }
}

// The Host header of a request: "host[:port]" by the authority rules.
bool host_header_valid(const char* value)
{
    size_t length = strlen(value);
    if (length == 0)
        return true;
    url_authority_t pieces;
    url_authority_split(value, length, &pieces);
    if (pieces.userinfo != NULL || pieces.host_length == 0 ||
        !url_host_valid(pieces.host, pieces.host_length))
        return false;
    return pieces.port == NULL || pieces.port_length == 0 ||
           url_port_parse(pieces.port, pieces.port_length) != -1;
}

// Settles the framing once every line is read (RFC 9112, 6.1 and 6.3).
int settle_framing(HEADER* header, const Framing& framing)
{
    bool request = is_request(header);
    int bad = request ? 400 : 502;
    if (framing.length_invalid)
        return bad;
    if (framing.coding_seen) {
        // An HTTP/1.0 peer cannot frame a body with chunks.
        if (request && header->version != HTTP_VERSION_11)
            return 400;
        size_t chunked = 0;
        for (const std::string& coding : framing.codings)
            if (coding == "chunked")
                chunked++;
        bool chunked_last = !framing.codings.empty() && framing.codings.back() == "chunked";
        if (!chunked_last || chunked != 1)
            return bad;
        if (framing.codings.size() != 1)
            return request ? 501 : 502;
        header->chunked = 1;
        if (header->flags & HEADER_HAS_LENGTH) {
            // Both framings: chunked wins, the length is never forwarded and
            // the connection is not trusted with another message.
            header->flags &= ~HEADER_HAS_LENGTH;
            header->content_length = 0;
            header->keep_alive = 0;
            header->proxy_keep_alive = 0;
        }
    }
    if (request) {
        if (framing.host_lines > 1)
            return 400;
        if (header->host_header != NULL && !host_header_valid(header->host_header))
            return 400;
    }
    return 0;
}

// The status of a request target, when it is refused.
int parse_target(HEADER* header, const char* target)
{
    const char* authority;
    if (header->type == REQUEST_TRANSPARENT) {
        set_field(header->scheme, "http");
        free(header->path);
        header->path = url_path_fix(target);
        header->port = 80;
        return 0;
    }
    if (header->type == REQUEST_CONNECT) {
        set_field(header->scheme, "connect");
        authority = target;
    } else {
        const char* colon = strchr(target, ':');
        if (colon == NULL || colon == target)
            return 400;
        std::string scheme(target, (size_t)(colon - target));
        if (!(isalpha((unsigned char)scheme[0])) ||
            scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789+-.") != std::string::npos)
            return 400;
        // The two characters after the ':' (normally "//") are skipped unread.
        if (colon[1] == '\0' || colon[2] == '\0')
            return 400;
        string_tolower(&scheme[0]);
        set_field(header->scheme, scheme);
        authority = colon + 3;
    }

    size_t authority_length = url_authority_length(authority);
    const char* rest = authority + authority_length;
    free(header->path);
    if (*rest == '/') {
        header->path = url_path_fix(rest);
    } else {
        std::string rooted = "/";
        rooted += rest;
        header->path = url_path_fix(rooted.c_str());
    }

    url_authority_t pieces;
    url_authority_split(authority, authority_length, &pieces);
    if (pieces.userinfo != NULL) {
        const char* separator = (const char*)memchr(pieces.userinfo, ':', pieces.userinfo_length);
        size_t user_length = separator == NULL ? pieces.userinfo_length
                                               : (size_t)(separator - pieces.userinfo);
        std::string user, password;
        if (!authority_decode(pieces.userinfo, user_length, user))
            return 400;
        if (separator != NULL &&
            !authority_decode(separator + 1, pieces.userinfo_length - user_length - 1, password))
            return 400;
        if (user.size() > URL_CREDENTIAL_MAX || password.size() > URL_CREDENTIAL_MAX)
            return 400;
        // A user part without a user name carries nothing to use.
        if (!user.empty()) {
            set_field(header->user, user);
            set_field(header->password, password);
        }
    }

    std::string host;
    if (!authority_decode(pieces.host, pieces.host_length, host) || host.empty() ||
        !url_host_valid(host.data(), host.size()))
        return 400;
    string_tolower(&host[0]);
    set_field(header->host, host);

    if (pieces.port != NULL && pieces.port_length > 0) {
        header->port = url_port_parse(pieces.port, pieces.port_length);
        if (header->port == -1)
            return 400;
    } else {
        header->flags |= HEADER_DEFAULT_PORT;
        header->port = header->type == REQUEST_CONNECT ? 443 : protocol_port(header->scheme);
    }
    header_complete(header);
    return 0;
}

// Parses a request; the status of the refusal, or 0.
int parse_request(HEADER* header, const char* text)
{
    if (text == NULL || text[0] == '\0')
        return 400;
    size_t line_length = strcspn(text, "\r\n");
    // The request line's words, at most one more than a request line holds.
    std::string words[4];
    int count = 0;
    size_t i = 0;
    while (i < line_length && count < 4) {
        while (i < line_length && is_blank(text[i]))
            i++;
        if (i == line_length)
            break;
        size_t start = i;
        while (i < line_length && !is_blank(text[i]))
            i++;
        words[count++].assign(text + start, i - start);
    }
    if (count < 2 || count > 3)
        return 400;
    const std::string& method = words[0];
    const std::string& target = words[1];
    if (method.size() > HEADER_METHOD_MAX || !is_token(method))
        return 400;
    if (target.size() > HEADER_TARGET_MAX)
        return 414;
    if (count == 3 && words[2].size() > HEADER_VERSION_MAX)
        return 400;

    if (strcasecmp(method.c_str(), "CONNECT") == 0)
        header->type = REQUEST_CONNECT;
    else if (target[0] == '/')
        header->type = REQUEST_TRANSPARENT;
    else
        header->type = REQUEST_PROXY;
    header->version = count == 3 && strcasecmp(words[2].c_str(), "HTTP/1.1") == 0
                          ? HTTP_VERSION_11
                          : HTTP_VERSION_10;
    int status = parse_target(header, target.c_str());
    if (status != 0)
        return status;
    set_field(header->method, method);
    status = http_header_list_parse(header, text);
    if (status != 0)
        return status;
    set_field(header->raw, text, (size_t)header_length(text, (unsigned)-1));
    return 0;
}

void free_strings(HEADER* header)
{
    char** fields[] = {
        &header->raw, &header->url, &header->user, &header->password, &header->method,
        &header->scheme, &header->host, &header->path, &header->referer,
        &header->user_agent, &header->location, &header->content_type,
        &header->content_encoding, &header->accept_encoding, &header->www_authenticate,
        &header->authorization, &header->range, &header->proxy_authenticate,
        &header->proxy_authorization, &header->host_header, &header->mime_type,
        &header->cache_control, &header->expires, &header->if_modified_since,
        &header->last_modified, &header->warning, &header->age, &header->x_cache,
        &header->x_forwarded_for, &header->via, &header->encapsulated,
    };
    for (char** field : fields) {
        free(*field);
        *field = NULL;
    }
}

} // namespace

HEADER* header_new()
{
    return new HEADER();
}

void http_header_free(HEADER* header)
{
    if (header == NULL)
        return;
    free_strings(header);
    delete header;
}

HEADER* http_header_dup(const HEADER* header)
{
    HEADER* copy = new HEADER(*header);
    // The copy shares every string so far; give it its own.
    char** fields[] = {
        &copy->raw, &copy->url, &copy->user, &copy->password, &copy->method,
        &copy->scheme, &copy->host, &copy->path, &copy->referer, &copy->user_agent,
        &copy->location, &copy->content_type, &copy->content_encoding,
        &copy->accept_encoding, &copy->www_authenticate, &copy->authorization,
        &copy->range, &copy->proxy_authenticate, &copy->proxy_authorization,
        &copy->host_header, &copy->mime_type, &copy->cache_control, &copy->expires,
        &copy->if_modified_since, &copy->last_modified, &copy->warning, &copy->age,
        &copy->x_cache, &copy->x_forwarded_for, &copy->via, &copy->encapsulated,
    };
    for (char** field : fields)
        *field = copy_or_null(*field);
    return copy;
}

int header_length(const char* text, unsigned max)
{
    // Line by line with memchr: the header ends after the first line
    // holding nothing but CRs that follows another line.
    const char* end = text + strnlen(text, max);
    const char* line_start = NULL; // just past the last LF, once one came
    for (const char* p = text; p < end;) {
        const char* lf = (const char*)memchr(p, '\n', (size_t)(end - p));
        if (lf == NULL)
            break;
        if (line_start != NULL) {
            const char* q = line_start;
            while (q < lf && *q == '\r')
                q++;
            if (q == lf)
                return (int)(lf - text + 1);
        }
        line_start = lf + 1;
        p = lf + 1;
    }
    return (int)(end - text);
}

int header_type(const char* text, unsigned len)
{
    unsigned n = len < 5 ? len : 5;
    return strncasecmp(text, "HTTP/", n) == 0 ? RESPONSE_HTTP : REQUEST_TRANSPARENT;
}

void header_complete(HEADER* header)
{
    std::string url = header->scheme != NULL ? header->scheme : "";
    url += "://";
    url += header->host != NULL ? header->host : "";
    url += ':';
    url += std::to_string(header->port);
    url += header->path != NULL ? header->path : "";
    set_field(header->url, url);
}

int http_header_list_parse(HEADER* header, const char* text)
{
    if (text == NULL || text[0] == '\0')
        return 0;
    const char* first_end = strchr(text, '\n');
    if (first_end == NULL)
        return 0;
    bool request = is_request(header);
    Framing framing;
    // Room for the lines of most messages in one allocation.
    static_assert(HEADER_LINES_EXPECTED * sizeof(HTTP_HEADER) <= ALLOCATOR_THREAD_CACHE_MAX,
                  "the first block of lines should come from the thread cache");
    header->lines.reserve(header->lines.size() + HEADER_LINES_EXPECTED);
    std::string pending; // the logical line being gathered
    bool have_pending = false;
    for (const char* line = first_end + 1; *line != '\0' && *line != '\r' && *line != '\n';) {
        const char* end = strchr(line, '\n');
        if (end == NULL)
            break; // an unterminated line ends the header
        size_t length = strcspn(line, "\r\n");
        if (request && length > HEADER_LINE_MAX)
            return 431;
        if (is_blank(line[0])) {
            // A folded line continues the one before it.
            if (request)
                return 400;
            if (have_pending) {
                size_t start = 0;
                while (start < length && is_blank(line[start]))
                    start++;
                pending += ' ';
                pending.append(line + start, length - start);
            }
        } else {
            if (have_pending) {
                int status = parse_line(header, pending, framing);
                if (status != 0)
                    return status;
            }
            pending.assign(line, length);
            have_pending = true;
        }
        line = end + 1;
    }
    if (have_pending) {
        int status = parse_line(header, pending, framing);
        if (status != 0)
            return status;
    }
    if (header->type != REQUEST_ICAP)
        drop_connection_options(header);
    return settle_framing(header, framing);
}

HEADER* http_header_parse_request(const char* text)
{
    return http_header_parse_request(text, NULL);
}

HEADER* http_header_parse_request(const char* text, int* refusal)
{
    HEADER* header = header_new();
    int status = parse_request(header, text);
    if (refusal != NULL)
        *refusal = status;
    if (status == 0)
        return header;
    putlog(LOG_ERROR, "security: malformatted request header");
    http_header_free(header);
    return NULL;
}

// The status line almost every server sends, "HTTP/1.x NNN" followed by a
// blank or the line's end, read without sscanf; sets the version and the
// status. Any other line is left to general_status_line, which gives these
// lines the same result.
static bool plain_status_line(const char* text, const char* line_end, HEADER* header)
{
    if (line_end - text < 12 || memcmp(text, "HTTP/1.", 7) != 0 ||
        (text[7] != '0' && text[7] != '1') || text[8] != ' ')
        return false;
    const char* code = text + 9;
    for (int i = 0; i < 3; i++)
        if (code[i] < '0' || code[i] > '9')
            return false;
    if (code[3] != ' ' && code[3] != '\r' && code + 3 != line_end)
        return false;
    int status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    if (status < 100)
        return false;
    header->version = text[7] == '1' ? HTTP_VERSION_11 : HTTP_VERSION_10;
    header->status = status;
    return true;
}

// Any other status line, read the general way: 1 with the version and the
// status set (the status unchecked), 0 when the text has no status line, -1
// for one that cannot be read.
static int general_status_line(const char* text, const char* line_end, HEADER* header)
{
    std::string first(text, (size_t)(line_end - text));
    char protocol_name[11], major, minor;
    int status;
    if (sscanf(first.c_str(), "%10[^/]/%c.%c %d", protocol_name, &major, &minor, &status) != 4)
        return 0;
    char protocol[11], status_word[11];
    if (sscanf(first.c_str(), "%10s %10s", protocol, status_word) != 2)
        return -1;
    header->version = strcasecmp(protocol, "HTTP/1.1") == 0 ? HTTP_VERSION_11 : HTTP_VERSION_10;
    header->status = atoi(status_word);
    return 1;
}

HEADER* http_header_parse_response(const char* text)
{
    if (text == NULL || text[0] == '\0')
        return NULL;
    const char* first_end = strchr(text, '\n');
    if (first_end == NULL || first_end - text + 1 > HEADER_STATUS_LINE_MAX)
        return NULL;
    HEADER* header = header_new();
    header->type = RESPONSE_HTTP;
    int read = plain_status_line(text, first_end, header)
                   ? 1
                   : general_status_line(text, first_end, header);
    if (read == 0) {
        // A reply without status line: the whole text is body.
        header->version = HTTP_VERSION_09;
        header->status = 200;
        set_field(header->raw, "HTTP/1.1 200 OK\r\n\r\n");
        putlog(LOG_DEBUG, "HTTP/0.9 header");
        return header;
    }
    if (read < 0 || header->status < 100 || header->status > 999 ||
        http_header_list_parse(header, text) != 0) {
        http_header_free(header);
        return NULL;
    }
    set_field(header->raw, text, (size_t)header_length(text, (unsigned)-1));
    return header;
}

void header_set_if_modified_since(HEADER* request, time_t stored_time)
{
    struct tm broken;
    char date[64];
    gmtime_r(&stored_time, &broken);
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &broken);
    set_field(request->if_modified_since, date);
}

void conditional_header(HEADER* request, CACHEMAP* object)
{
    time_t stored = cache_section == NULL ? 0 : cache_section->get_mtime(object);
    header_set_if_modified_since(request, stored);
}
