// The C-string toolbox; see misc.h for the contract of each operation.
#include "core/misc.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/mem.h"

// A null result of the checked allocators here is an impossible state.
#define MISC_ALLOC_CHECK(pointer, size)       \
    do {                                      \
        if ((pointer) == NULL)                \
            FATAL_ALLOC("src/misc", (size));  \
    } while (0)

namespace {

// C-locale case folding on ASCII letters only: the proxy never changes the
// locale and must not depend on one.
inline int ascii_lower(int c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

inline int ascii_upper(int c)
{
    return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
}

// Longest word cmdline_parse keeps.
const size_t CMDLINE_WORD_MAX = 255;

// The sixteen characters that flag 4 of string_to_html quotes with a
// backslash (they are special in regular expressions).
const char HTML_PATTERN_CHARS[] = "';.?/\\[]{}()+*|$";

char* copy_of(const char* text)
{
    char* copy = xstrdup(text);
    MISC_ALLOC_CHECK(copy, strlen(text) + 1);
    return copy;
}

char* copy_of_n(const char* text, size_t n)
{
    char* copy = xstrndup(text, n);
    MISC_ALLOC_CHECK(copy, n + 1);
    return copy;
}

// Grows the array (null allowed) to hold `count` entries plus the null
// pointer.
char** array_resize(char** array, size_t count)
{
    size_t bytes = (count + 1) * sizeof(char*);
    char** grown = (char**)xrealloc(array, bytes);
    MISC_ALLOC_CHECK(grown, bytes);
    grown[count] = NULL;
    return grown;
}

// Appends an already allocated string to an array of `count` entries and
// returns the new array; the string then belongs to the array.
char** array_push(char** array, size_t count, char* string)
{
    array = array_resize(array, count + 1);
    array[count] = string;
    return array;
}

char** array_empty()
{
    return array_resize(NULL, 0);
}

} // namespace

// ---- Bounded strings and plain text ---------------------------------------

char* s_strncpy(char* dst, const char* src, size_t size)
{
    if (size == 0)
        return dst;
    size_t length = src == NULL ? 0 : s_strnlen(src, size - 1);
    memcpy(dst, src == NULL ? "" : src, length);
    dst[length] = '\0';
    return dst;
}

char* s_strncat(char* dst, const char* src, size_t size)
{
    if (size == 0)
        return dst;
    // Never read dst beyond its buffer, even when it lacks a terminator.
    size_t used = s_strnlen(dst, size);
    if (used >= size - 1) {
        dst[size - 1] = '\0';
        return dst;
    }
    size_t room = size - 1 - used;
    size_t length = src == NULL ? 0 : s_strnlen(src, room);
    memcpy(dst + used, src == NULL ? "" : src, length);
    dst[used + length] = '\0';
    return dst;
}

size_t s_strnlen(const char* text, size_t n)
{
    if (text == NULL)
        return 0;
    size_t length = 0;
    while (length < n && text[length] != '\0')
        length++;
    return length;
}

char* s_strip_char(char* text, int from, int to)
{
    if (text == NULL)
        return text;
    for (char* p = text; *p != '\0'; p++) {
        if (*p == (char)from) {
            *p = (char)to;
            if (to == '\0')
                break;
        }
    }
    return text;
}

char* s_strcasestr(const char* text, const char* pattern)
{
    if (text == NULL || pattern == NULL || *text == '\0')
        return NULL;
    for (const char* start = text; *start != '\0'; start++) {
        const char* t = start;
        const char* p = pattern;
        while (*p != '\0' && *t != '\0' &&
               ascii_lower((unsigned char)*t) == ascii_lower((unsigned char)*p)) {
            t++;
            p++;
        }
        if (*p == '\0')
            return (char*)start;
        if (*t == '\0')
            return NULL; // the rest of the text is shorter than the pattern
    }
    return NULL;
}

int string_tolower(char* text)
{
    if (text != NULL)
        for (char* p = text; *p != '\0'; p++)
            *p = (char)ascii_lower((unsigned char)*p);
    return 0;
}

int string_toupper(char* text)
{
    if (text != NULL)
        for (char* p = text; *p != '\0'; p++)
            *p = (char)ascii_upper((unsigned char)*p);
    return 0;
}

char* string_append(char* text, const char* more)
{
    size_t old_length = text == NULL ? 0 : strlen(text);
    size_t more_length = more == NULL ? 0 : strlen(more);
    size_t bytes = old_length + more_length + 1;
    char* grown = (char*)xrealloc(text, bytes);
    MISC_ALLOC_CHECK(grown, bytes);
    memcpy(grown + old_length, more == NULL ? "" : more, more_length);
    grown[old_length + more_length] = '\0';
    return grown;
}

int isempty(const char* text, size_t n)
{
    if (text == NULL)
        return 1;
    for (size_t i = 0; i < n && text[i] != '\0'; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x21 && c <= 0x7E)
            return 0;
    }
    return 1;
}

int isip(const char* text)
{
    if (text == NULL)
        return 0;
    const char* p = text;
    for (int octet = 0; octet < 4; octet++) {
        if (octet > 0) {
            if (*p != '.')
                return 0;
            p++;
        }
        int digits = 0;
        int value = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3)
                return 0;
            value = value * 10 + (*p - '0');
            p++;
        }
        if (digits == 0 || value > 255)
            return 0;
    }
    return *p == '\0';
}

int atoi_clamped(const char* text)
{
    long value = strtol(text, NULL, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

uint64_t xpow(int n)
{
    if (n <= 0)
        return 1;
    if (n > 63)
        n = 63;
    return (uint64_t)1 << n;
}

size_t signed_to_unsigned_char(const char* text, unsigned char* bytes, size_t size)
{
    if (text == NULL || *text == '\0' || size == 0)
        return 0;
    size_t length = s_strnlen(text, size - 1);
    memcpy(bytes, text, length);
    bytes[length] = 0;
    return length;
}

char* filesize(uint64_t n)
{
    const uint64_t KB = 1024;
    const uint64_t MB = KB * 1024;
    const uint64_t GB = MB * 1024;
    // "18446744073709551615.0 B" cannot occur (that count is in GB), so the
    // longest text is "17179869184.0 GB"; 32 bytes always hold it whole.
    char text[32];
    if (n >= GB)
        snprintf(text, sizeof(text), "%.1f GB", (double)n / (double)GB);
    else if (n >= MB)
        snprintf(text, sizeof(text), "%.1f MB", (double)n / (double)MB);
    else if (n < KB)
        snprintf(text, sizeof(text), "%.1f B", (double)n);
    else
        snprintf(text, sizeof(text), "%.1f KB", (double)n / (double)KB);
    return copy_of(text);
}

char* string_to_html(const char* text, int flags, int line_length)
{
    if (text == NULL)
        text = "";
    // Wrapping needs a positive length: 0 or less means the operator asked
    // for no breaks (and must never reach the modulo below).
    bool wrap = flags == HTML_NEWLINE_BREAK && line_length > 0;

    // The same walk runs twice, first only measuring, then writing, so the
    // result takes one exact allocation.
    auto emit = [&](char* out, size_t& length, const char* piece, size_t piece_length) {
        if (out != NULL)
            memcpy(out + length, piece, piece_length);
        length += piece_length;
    };

    auto render = [&](char* out) -> size_t {
        size_t length = 0;
        long run = 0;
        for (const char* p = text; *p != '\0'; p++) {
            char c = *p;
            if ((flags & HTML_PATTERN_QUOTE) && strchr(HTML_PATTERN_CHARS, c) != NULL) {
                char quoted[2] = {'\\', c};
                emit(out, length, quoted, 2);
            } else if (c == '"') {
                emit(out, length, "&quot;", 6);
            } else if (c == '<') {
                emit(out, length, "&lt;", 4);
            } else if (c == '>') {
                emit(out, length, "&gt;", 4);
            } else if (c == '&') {
                emit(out, length, "&amp;", 5);
            } else if ((flags & HTML_NEWLINE_BREAK) && c == '\n') {
                emit(out, length, "<br>", 4);
            } else if ((flags & HTML_SPACE_NBSP) && c == ' ') {
                emit(out, length, "&nbsp;", 6);
            } else {
                emit(out, length, &c, 1);
            }
            if (wrap) {
                if (c == ' ')
                    run = 0;
                run++;
                if (run % line_length == 0)
                    emit(out, length, "<br>", 4);
            }
        }
        return length;
    };

    size_t length = render(NULL);
    char* html = (char*)xmalloc(length + 1);
    MISC_ALLOC_CHECK(html, length + 1);
    render(html);
    html[length] = '\0';
    return html;
}

char** cmdline_parse(const char* text)
{
    char** words = array_empty();
    size_t count = 0;
    if (text == NULL)
        return words;

    char word[CMDLINE_WORD_MAX + 1];
    size_t word_length = 0;
    bool in_double = false;
    bool in_single = false;
    bool escaped = false;
    bool new_word_due = false;

    for (const char* p = text; *p != '\0'; p++) {
        char c = *p;
        if (c == '\\' && !in_double && !in_single && !escaped) {
            escaped = true;
            continue;
        }
        if (!escaped) {
            if (c == '"' && !in_single) {
                in_double = !in_double;
                continue;
            }
            if (c == '\'' && !in_double) {
                in_single = !in_single;
                continue;
            }
            if (c == ' ' && !in_double && !in_single) {
                new_word_due = true;
                continue;
            }
        }
        escaped = false;
        if (new_word_due) {
            new_word_due = false;
            if (word_length > 0) {
                words = array_push(words, count++, copy_of_n(word, word_length));
                word_length = 0;
            }
        }
        if (word_length < CMDLINE_WORD_MAX)
            word[word_length++] = c;
    }
    if (word_length > 0)
        words = array_push(words, count, copy_of_n(word, word_length));
    return words;
}

char* resolve_path(const char* path)
{
    if (path == NULL)
        return NULL;
    char** pieces = string_break(path, '/');
    // Compact the kept pieces to the front of the array, like a stack.
    int kept = 0;
    for (int i = 0; pieces[i] != NULL; i++) {
        char* piece = pieces[i];
        if (strcmp(piece, "..") == 0) {
            free(piece);
            if (kept > 0)
                free(pieces[--kept]);
        } else if (strcmp(piece, ".") == 0) {
            free(piece);
        } else {
            pieces[kept++] = piece;
        }
    }
    pieces[kept] = NULL;

    char* joined = array_merge(pieces, '/');
    array_free(pieces);

    const char* last_slash = strrchr(path, '/');
    bool trailing = last_slash != NULL && last_slash[1] == '\0' && last_slash != path;

    char* resolved = copy_of("/");
    resolved = string_append(resolved, joined);
    free(joined);
    // The root alone never gets a second slash.
    if (trailing && resolved[1] != '\0')
        resolved = string_append(resolved, "/");
    return resolved;
}

// ---- String arrays ----------------------------------------------------------

char** string_break(const char* text, char sep)
{
    if (text == NULL)
        return NULL;
    char** array = NULL;
    size_t count = 0;
    const char* piece = text;
    for (const char* p = text;; p++) {
        if (*p == sep || *p == '\0') {
            if (p > piece)
                array = array_push(array, count++, copy_of_n(piece, (size_t)(p - piece)));
            if (*p == '\0')
                break;
            while (p[1] == sep)
                p++;
            piece = p + 1;
        }
    }
    if (count == 0)
        array = array_push(array, 0, copy_of(""));
    return array;
}

int array_length(char* const* array)
{
    int length = 0;
    if (array != NULL)
        while (array[length] != NULL)
            length++;
    return length;
}

void array_free(char** array)
{
    if (array == NULL)
        return;
    for (char** p = array; *p != NULL; p++)
        free(*p);
    free(array);
}

char** array_dup(char* const* array)
{
    if (array == NULL)
        return NULL;
    size_t count = (size_t)array_length(array);
    char** copy = array_resize(NULL, count);
    for (size_t i = 0; i < count; i++)
        copy[i] = copy_of(array[i]);
    return copy;
}

int array_find(char* const* array, const char* text)
{
    if (array == NULL || text == NULL)
        return 0;
    for (char* const* p = array; *p != NULL; p++)
        if (strcmp(*p, text) == 0)
            return 1;
    return 0;
}

char** array_add(char** array, const char* text)
{
    if (text == NULL)
        return array == NULL ? array_empty() : array;
    return array_push(array, (size_t)array_length(array), copy_of(text));
}

char** array_delete(char** array, const char* text)
{
    if (array == NULL || text == NULL)
        return array;
    size_t kept = 0;
    for (size_t i = 0; array[i] != NULL; i++) {
        if (strcmp(array[i], text) == 0)
            free(array[i]);
        else
            array[kept++] = array[i];
    }
    return array_resize(array, kept);
}

char* array_merge(char* const* array, char sep)
{
    size_t count = (size_t)array_length(array);
    size_t bytes = 1;
    for (size_t i = 0; i < count; i++)
        bytes += strlen(array[i]) + 1;
    char* merged = (char*)xmalloc(bytes);
    MISC_ALLOC_CHECK(merged, bytes);
    size_t length = 0;
    for (size_t i = 0; i < count; i++) {
        if (i > 0)
            merged[length++] = sep;
        size_t piece = strlen(array[i]);
        memcpy(merged + length, array[i], piece);
        length += piece;
    }
    merged[length] = '\0';
    return merged;
}
