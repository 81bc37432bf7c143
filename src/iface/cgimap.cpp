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
    // A pair ends at every '&' and splits at its first '=': a value may hold
    // '=' (a file name, a Base64 text), never '&', which a form encodes.
    const char* pair = arguments;
    for (;;) {
        const char* end = strchr(pair, '&');
        size_t length = end != nullptr ? static_cast<size_t>(end - pair) : strlen(pair);
        if (length > 0) {
            const char* equals = static_cast<const char*>(memchr(pair, '=', length));
            size_t name_length = equals != nullptr ? static_cast<size_t>(equals - pair) : length;
            std::string value = equals != nullptr
                                    ? form_decode(equals + 1, length - name_length - 1)
                                    : std::string();
            (*this)[form_decode(pair, name_length)] = value;
        }
        if (end == nullptr)
            break;
        pair = end + 1;
    }
}
