// The text a body is searched as; see keyword_text.h.
#include "filter/keyword_text.h"

#include <ctype.h>
#include <stdint.h>
#include <string.h>

namespace {

enum byte_order_t { NOT_UTF16, UTF16_BE, UTF16_LE, UTF16_GUESS };

// The charset parameter of a Content-Type value, lower-cased ("" when none).
std::string charset_of(const char* content_type) {
    std::string lowered;
    for (const char* p = content_type; *p != '\0'; p++)
        lowered += static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    size_t at = lowered.find("charset=");
    if (at == std::string::npos)
        return "";
    size_t start = at + strlen("charset=");
    if (start < lowered.size() && lowered[start] == '"')
        start++;
    size_t end = start;
    while (end < lowered.size() && (isalnum(static_cast<unsigned char>(lowered[end])) ||
                                    lowered[end] == '-' || lowered[end] == '_'))
        end++;
    return lowered.substr(start, end - start);
}

byte_order_t declared_order(const char* content_type) {
    if (content_type == nullptr)
        return NOT_UTF16;
    std::string charset = charset_of(content_type);
    if (charset == "utf-16le")
        return UTF16_LE;
    if (charset == "utf-16be")
        return UTF16_BE;
    if (charset == "utf-16")
        return UTF16_GUESS;
    return NOT_UTF16;
}

void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void utf16_to_utf8(const unsigned char* data, size_t length, bool big_endian, std::string& out) {
    const uint32_t REPLACEMENT = 0xFFFD;
    out.clear();
    out.reserve(length);
    auto unit_at = [&](size_t i) -> uint32_t {
        return big_endian ? (data[i] << 8 | data[i + 1]) : (data[i + 1] << 8 | data[i]);
    };
    size_t i = 0;
    while (i + 1 < length) {
        uint32_t unit = unit_at(i);
        i += 2;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = i + 1 < length ? unit_at(i) : 0;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                i += 2;
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            } else {
                append_utf8(out, REPLACEMENT);
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            append_utf8(out, REPLACEMENT);
        } else {
            append_utf8(out, unit);
        }
    }
}

} // namespace

keyword_text_t keyword_text(const char* content_type, const char* data, size_t length,
                            std::string& scratch) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    byte_order_t order = NOT_UTF16;
    size_t skip = 0;
    if (length >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        order = UTF16_BE;
        skip = 2;
    } else if (length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        order = UTF16_LE;
        skip = 2;
    } else {
        order = declared_order(content_type);
    }
    if (order == NOT_UTF16)
        return {data, length};
    // Text in either order mostly begins with an ASCII character: its zero
    // byte comes first in big-endian, second in little-endian.
    if (order == UTF16_GUESS)
        order = length >= 2 && bytes[0] != 0 && bytes[1] == 0 ? UTF16_LE : UTF16_BE;
    utf16_to_utf8(bytes + skip, length - skip, order == UTF16_BE, scratch);
    return {scratch.data(), scratch.size()};
}
