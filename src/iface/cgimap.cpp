#include "iface/cgimap.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "core/log.h"
#include "core/misc.h"
#include "http/url.h"

namespace {

// URL-decoded copy of `length` characters ('%' and two hex digits, '+' a
// blank; a decoded zero byte ends the text).
std::string form_decode(const char* text, size_t length) {
    char* decoded = url_decode(text, static_cast<unsigned>(length));
    std::string copy(decoded != nullptr ? decoded : "");
    free(decoded);
    return copy;
}

// Whether an argument may hold a secret: its name speaks of a password, a
// secret or a token, or it is a field of a configuration form ("F<n>"),
// some of which are passwords.
bool secret_name(const std::string& name) {
    static const char* const words[] = {"pass", "scode", "secret", "token"};
    for (const char* word : words)
        if (s_strcasestr(name.c_str(), word) != nullptr)
            return true;
    return name.size() > 1 && name[0] == 'F' && isdigit(static_cast<unsigned char>(name[1]));
}

// The argument text with the values of secret arguments written as "***",
// for the debug log.
std::string masked(const char* arguments) {
    std::string text;
    const char* pair = arguments;
    while (*pair != '\0') {
        const char* end = strchr(pair, '&');
        size_t length = end != nullptr ? static_cast<size_t>(end - pair) : strlen(pair);
        std::string piece(pair, length);
        size_t equals = piece.find('=');
        if (equals != std::string::npos &&
            secret_name(form_decode(piece.c_str(), equals)))
            piece.replace(equals + 1, std::string::npos, "***");
        if (!text.empty())
            text += '&';
        text += piece;
        if (end == nullptr)
            break;
        pair = end + 1;
    }
    return text;
}

} // namespace

int xatoi(const std::string& text) {
    return text.empty() ? -1 : atoi(text.c_str());
}

CGIMap::CGIMap(const char* arguments) {
    parse(arguments);
}

void CGIMap::parse(const char* arguments) {
    if (arguments == nullptr)
        return;
    if (loglevel & LOG_DEBUG)
        putlog(LOG_DEBUG, "cgi arguments: %s", masked(arguments).c_str());
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
