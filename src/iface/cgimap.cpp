#include "iface/cgimap.h"

#include <stdlib.h>
#include <string.h>

#include "core/log.h"
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
