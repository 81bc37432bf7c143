#include "http/http_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"

const char* code_to_error(int code) {
    // The phrases of RFC 9110 (section 15), and of RFC 6585 for the codes
    // this proxy or its peers send from there (429, 431).
    switch (code) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Content";
    case 426: return "Upgrade Required";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 511: return "Network Authentication Required";
    default: return "Unknown";
    }
}

const char* error_to_template(int code) {
    switch (code) {
    case -2: return "noconnect";
    case -3: return "nodns";
    case -4: return "badauth";
    default: return "unknown";
    }
}

// The three read, write, execute groups of a mode text: owner, group,
// others, with the letter that also carries the group's special bit.
struct mode_group {
    unsigned read, write, execute, special;
    char special_letter;
};

static const mode_group MODE_GROUPS[3] = {
    {0x100, 0x80, 0x40, 0x800, 's'},
    {0x20, 0x10, 0x8, 0x400, 'S'},
    {0x4, 0x2, 0x1, 0x200, 't'},
};

unsigned mode_parse(const char* text) {
    if (text == nullptr || strnlen(text, 10) < 10)
        return 0;
    unsigned bits = 0;
    for (int g = 0; g < 3; g++) {
        const mode_group& group = MODE_GROUPS[g];
        const char* column = text + 1 + 3 * g;
        if (column[0] == 'r')
            bits |= group.read;
        if (column[1] == 'w')
            bits |= group.write;
        if (column[2] == 'x')
            bits |= group.execute;
        else if (column[2] == group.special_letter)
            bits |= group.special | group.execute;
    }
    return bits;
}

char* mode_create(unsigned bits) {
    char* text = static_cast<char*>(xmalloc(11));
    if (text == nullptr)
        FATAL_ALLOC("src/misc", 11);
    text[0] = '-';
    for (int g = 0; g < 3; g++) {
        const mode_group& group = MODE_GROUPS[g];
        char* column = text + 1 + 3 * g;
        column[0] = (bits & group.read) ? 'r' : '-';
        column[1] = (bits & group.write) ? 'w' : '-';
        if (bits & group.special)
            column[2] = group.special_letter;
        else
            column[2] = (bits & group.execute) ? 'x' : '-';
    }
    text[10] = '\0';
    return text;
}

char* ftpport_create(const struct sockaddr_in* address) {
    const unsigned char* host = reinterpret_cast<const unsigned char*>(&address->sin_addr.s_addr);
    const unsigned char* port = reinterpret_cast<const unsigned char*>(&address->sin_port);
    char text[32];
    snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d", host[0], host[1], host[2], host[3], port[0],
             port[1]);
    char* copy = xstrdup(text);
    if (copy == nullptr)
        FATAL_ALLOC("src/misc", strlen(text) + 1);
    putlog(LOG_DEBUG, "ftp: ftpport_create: %s", copy);
    return copy;
}

struct sockaddr_in* ftpport_parse(const char* text) {
    if (text == nullptr)
        return nullptr;
    char** pieces = string_break(text, ',');
    int count = 0;
    while (pieces != nullptr && pieces[count] != nullptr)
        count++;
    struct sockaddr_in* address = nullptr;
    if (count == 6) {
        address = static_cast<struct sockaddr_in*>(xmalloc(sizeof *address));
        if (address == nullptr)
            FATAL_ALLOC("src/misc", sizeof *address);
        unsigned numbers[6];
        for (int i = 0; i < 6; i++)
            numbers[i] = static_cast<unsigned>(atoi(pieces[i]));
        address->sin_family = AF_INET;
        uint32_t host = (numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3];
        address->sin_addr.s_addr = htonl(host);
        address->sin_port = htons(static_cast<uint16_t>(numbers[4] * 256 + numbers[5]));
    }
    array_free(pieces);
    return address;
}
