// The text a body is searched as by keyword rules. Most bodies are searched
// as they are, whole (NUL bytes included). A body in UTF-16 would hide
// every keyword written in ASCII or UTF-8 behind its zero bytes, so it is
// searched as its UTF-8 text: it is recognised by its byte order mark, or by
// a Content-Type charset of "utf-16", "utf-16le" or "utf-16be" (plain
// "utf-16" without a mark is read big-endian unless its first byte pair
// says otherwise). Unpaired surrogates become U+FFFD; a trailing odd byte
// is dropped.
#pragma once

#include <stddef.h>

#include <string>

struct keyword_text_t {
    const char* data;
    size_t length;
};

// The text of body [data, data+length) with the response's Content-Type
// (NULL: none). Returns the body itself, or the converted text held in
// `scratch`.
keyword_text_t keyword_text(const char* content_type, const char* data, size_t length,
                            std::string& scratch);
