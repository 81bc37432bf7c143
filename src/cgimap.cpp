#include "cgimap.h"

#include <string.h>

#include "log.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// '%' and two hex digits become that byte, '+' a blank; a '%' without two
// hex digits after it stays as it is.
std::string form_decode(const char* text, size_t length) {
    std::string decoded;
    decoded.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%' && i + 2 < length &&
                   hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

} // namespace

CGIMap::CGIMap(const char* arguments) {
    parse(arguments);
}

void CGIMap::parse(const char* arguments) {
    if (arguments == nullptr)
        return;
    putlog(LOG_DEBUG, "cgi arguments: %s", arguments);
    size_t length = strlen(arguments);
    size_t start = 0;
    const char* split = nullptr; // the last '=' of the current pair
    for (size_t i = 0; i <= length; ++i) {
        char c = arguments[i];
        if (c == '=') {
            split = arguments + i;
            continue;
        }
        bool ends_pair = (c == '&' && split != nullptr) || c == '\0';
        if (!ends_pair)
            continue;
        if (split != nullptr) {
            const char* name = arguments + start;
            (*this)[form_decode(name, static_cast<size_t>(split - name))] =
                form_decode(split + 1, static_cast<size_t>(arguments + i - split - 1));
        }
        start = i + 1;
        split = nullptr;
    }
}
