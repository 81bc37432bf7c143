// The URL record and the URL text operations; see url.h for the contract.
#include "http/url.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

#include "core/mem.h"
#include "core/misc.h"

namespace {

const char HEX_UPPER[] = "0123456789ABCDEF";
const char HEX_LOWER[] = "0123456789abcdef";

char* copy_text(const char* text, size_t length)
{
    char* copy = xstrndup(text, length);
    if (copy == NULL)
        FATAL_ALLOC("src/url", length + 1);
    return copy;
}

char* copy_string(const std::string& text)
{
    return copy_text(text.data(), text.size());
}

inline bool is_alpha(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

inline int hex_value(unsigned char c)
{
    if (is_digit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A scheme is a letter followed by letters, digits, '+', '-' or '.'.
bool scheme_valid(const char* scheme, size_t length)
{
    if (length == 0 || !is_alpha((unsigned char)scheme[0]))
        return false;
    for (size_t i = 1; i < length; i++) {
        unsigned char c = (unsigned char)scheme[i];
        if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

// The bytes a path may not carry as they are.
inline bool path_byte_encoded(unsigned char c)
{
    return c <= 0x20 || c >= 0x7F;
}

} // namespace

int protocol_port(const char* scheme)
{
    if (scheme == NULL)
        return 0;
    if (strcasecmp(scheme, "http") == 0)
        return 80;
    if (strcasecmp(scheme, "ftp") == 0)
        return 21;
    return 0;
}

size_t url_authority_length(const char* text)
{
    return strcspn(text, "/?#");
}

void url_authority_split(const char* text, size_t length, url_authority_t* pieces)
{
    pieces->userinfo = NULL;
    pieces->userinfo_length = 0;
    const char* hostport = text;
    for (size_t i = length; i > 0; i--) {
        if (text[i - 1] == '@') {
            pieces->userinfo = text;
            pieces->userinfo_length = i - 1;
            hostport = text + i;
            break;
        }
    }
    size_t rest = length - (size_t)(hostport - text);
    const char* colon = (const char*)memchr(hostport, ':', rest);
    pieces->host = hostport;
    if (colon == NULL) {
        pieces->host_length = rest;
        pieces->port = NULL;
        pieces->port_length = 0;
    } else {
        pieces->host_length = (size_t)(colon - hostport);
        pieces->port = colon + 1;
        pieces->port_length = rest - pieces->host_length - 1;
    }
}

int url_port_parse(const char* digits, size_t length)
{
    if (length == 0)
        return -1;
    long value = 0;
    for (size_t i = 0; i < length; i++) {
        if (!is_digit((unsigned char)digits[i]))
            return -1;
        value = value * 10 + (digits[i] - '0');
        if (value > 65535)
            return -1;
    }
    return value == 0 ? -1 : (int)value;
}

int url_host_valid(const char* host, size_t length)
{
    static const char allowed_marks[] = "-._~!$&'()*+,;=[]";
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)host[i];
        if (is_alpha(c) || is_digit(c))
            continue;
        if (c == '\0' || strchr(allowed_marks, c) == NULL)
            return 0;
    }
    return 1;
}

URL* url_parse(const char* text)
{
    if (text == NULL)
        return NULL;
    const char* colon = strchr(text, ':');
    if (colon == NULL || !scheme_valid(text, (size_t)(colon - text)))
        return NULL;
    // The two characters after the scheme's ':' (normally "//") are skipped
    // unread; both must exist.
    if (colon[1] == '\0' || colon[2] == '\0')
        return NULL;
    const char* authority = colon + 3;
    size_t authority_length = url_authority_length(authority);
    url_authority_t pieces;
    url_authority_split(authority, authority_length, &pieces);

    const char* user = NULL;
    size_t user_length = 0;
    const char* password = "";
    size_t password_length = 0;
    if (pieces.userinfo != NULL) {
        user = pieces.userinfo;
        const char* separator = (const char*)memchr(user, ':', pieces.userinfo_length);
        if (separator == NULL) {
            user_length = pieces.userinfo_length;
        } else {
            user_length = (size_t)(separator - user);
            password = separator + 1;
            password_length = pieces.userinfo_length - user_length - 1;
        }
        if (user_length == 0 || user_length > URL_CREDENTIAL_MAX ||
            password_length > URL_CREDENTIAL_MAX)
            return NULL;
    }
    if (!url_host_valid(pieces.host, pieces.host_length))
        return NULL;
    int port;
    if (pieces.port == NULL || pieces.port_length == 0) {
        port = -2; // the scheme's default, once the scheme is copied
    } else {
        port = url_port_parse(pieces.port, pieces.port_length);
        if (port == -1)
            return NULL;
    }

    URL* url = (URL*)xmalloc(sizeof(URL));
    if (url == NULL)
        FATAL_ALLOC("src/url", sizeof(URL));
    url->scheme = copy_text(text, (size_t)(colon - text));
    string_tolower(url->scheme);
    url->host = copy_text(pieces.host, pieces.host_length);
    string_tolower(url->host);
    url->port = port == -2 ? protocol_port(url->scheme) : port;
    if (user != NULL) {
        url->user = copy_text(user, user_length);
        url->password = copy_text(password, password_length);
    }
    const char* rest = authority + authority_length;
    if (*rest == '/') {
        url->path = url_path_fix(rest);
    } else {
        // Nothing, or a query or fragment straight after the authority: the
        // path is the root.
        std::string rooted = "/";
        rooted += rest;
        url->path = url_path_fix(rooted.c_str());
    }
    return url;
}

char* url_create(const URL* url)
{
    std::string text;
    text.reserve(strlen(url->scheme) + strlen(url->host) + strlen(url->path) + 16);
    text += url->scheme;
    text += "://";
    text += url->host;
    text += ':';
    text += std::to_string(url->port);
    text += url->path;
    return copy_string(text);
}

int urlcmp(const URL* a, const URL* b)
{
    if (a->user != NULL && b->user != NULL && strcmp(a->user, b->user) != 0)
        return 0;
    if (a->password != NULL && b->password != NULL && strcmp(a->password, b->password) != 0)
        return 0;
    return a->port == b->port && strcasecmp(a->scheme, b->scheme) == 0 &&
           strcasecmp(a->host, b->host) == 0 && strcmp(a->path, b->path) == 0;
}

void url_free(URL* url)
{
    if (url == NULL)
        return;
    free(url->user);
    free(url->password);
    free(url->scheme);
    free(url->host);
    free(url->path);
    free(url);
}

char* url_path_fix(const char* path)
{
    if (path == NULL)
        return copy_text("/", 1);
    size_t length = strcspn(path, "#");
    std::string fixed;
    fixed.reserve(length + 16);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)path[i];
        if (path_byte_encoded(c)) {
            fixed += '%';
            fixed += HEX_UPPER[c >> 4];
            fixed += HEX_UPPER[c & 0xF];
        } else {
            fixed += (char)c;
        }
    }
    return copy_string(fixed);
}

int url_strip(char* text)
{
    char* out = text;
    for (const char* in = text; *in != '\0'; in++) {
        unsigned char c = (unsigned char)*in;
        if (c > 0x20 && c < 0x80)
            *out++ = (char)c;
    }
    *out = '\0';
    return 0;
}

char* url_encode(const char* text, unsigned length)
{
    std::string encoded;
    for (unsigned i = 0; i < length && text[i] != '\0'; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == ' ') {
            encoded += '+';
        } else if ((c >= 0x2C && c <= 0x39) || is_alpha(c)) {
            encoded += (char)c;
        } else {
            encoded += '%';
            encoded += HEX_LOWER[c >> 4];
            encoded += HEX_LOWER[c & 0xF];
        }
    }
    return copy_string(encoded);
}

namespace {

// Percent-decodes at most `length` characters of text (stopping at the
// terminator); '+' becomes a blank only when plus_is_blank. A '%' without
// two hex digits within the length stays as it is. Counts decoded zero
// bytes in *zeros.
std::string percent_decoded(const char* text, size_t length, bool plus_is_blank, size_t* zeros)
{
    std::string decoded;
    *zeros = 0;
    size_t i = 0;
    while (i < length && text[i] != '\0') {
        unsigned char c = (unsigned char)text[i];
        // Both digits must lie within the length and before the terminator
        // (the second is read only when the first is not the terminator).
        if (c == '%' && length - i > 2 && text[i + 1] != '\0') {
            int high = hex_value((unsigned char)text[i + 1]);
            int low = hex_value((unsigned char)text[i + 2]);
            if (high >= 0 && low >= 0) {
                decoded += (char)(high * 16 + low);
                if (high == 0 && low == 0)
                    (*zeros)++;
                i += 3;
                continue;
            }
        }
        decoded += (plus_is_blank && c == '+') ? ' ' : (char)c;
        i++;
    }
    return decoded;
}

} // namespace

char* url_decode(const char* text, unsigned length)
{
    size_t zeros;
    return copy_string(percent_decoded(text, length, true, &zeros));
}

char* url_authority_decode(const char* text, size_t length)
{
    size_t zeros;
    std::string decoded = percent_decoded(text, length, false, &zeros);
    return zeros > 0 ? NULL : copy_string(decoded);
}

namespace {

inline bool is_unreserved(unsigned char c)
{
    return is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// The byte that "%XX" at text encodes when it is an unreserved character,
// else -1 (also for a '%' without two hex digits).
int unreserved_escape(const char* text)
{
    if (text[0] != '%' || text[1] == '\0')
        return -1;
    int high = hex_value((unsigned char)text[1]);
    int low = hex_value((unsigned char)text[2]);
    if (high < 0 || low < 0)
        return -1;
    int c = high * 16 + low;
    return is_unreserved((unsigned char)c) ? c : -1;
}

} // namespace

const char* url_path_unreserved(const char* path, std::string& scratch)
{
    const char* escape = strchr(path, '%');
    while (escape != NULL && unreserved_escape(escape) < 0)
        escape = strchr(escape + 1, '%');
    if (escape == NULL)
        return path;
    scratch.assign(path, (size_t)(escape - path));
    for (const char* p = escape; *p != '\0';) {
        int c = *p == '%' ? unreserved_escape(p) : -1;
        if (c >= 0) {
            scratch += (char)c;
            p += 3;
        } else {
            scratch += *p++;
        }
    }
    return scratch.c_str();
}

char* path_to_url(const char* path)
{
    std::string html = "<a href=\"/\">/</a>";
    std::string href = "/";
    char** pieces = string_break(path == NULL ? "" : path, '/');
    for (int i = 0; pieces != NULL && pieces[i] != NULL; i++) {
        if (pieces[i][0] == '\0')
            continue;
        href += pieces[i];
        href += '/';
        char* href_html = string_to_html(href.c_str(), 0, 0);
        char* piece_html = string_to_html(pieces[i], 0, 0);
        html += "<a href=\"";
        html += href_html;
        html += "\">";
        html += piece_html;
        html += "/</a>";
        free(href_html);
        free(piece_html);
    }
    array_free(pieces);
    return copy_string(html);
}
