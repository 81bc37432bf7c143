// The C-string toolbox: bounded copies and appends, case-blind search,
// string arrays with splitting and joining, the command-line splitter for
// external programs, HTML escaping for interface pages, a size formatter and
// a few predicates.
//
// Contract shared by every operation here:
// - No state, no lock: safe from any thread on data the caller owns.
// - Every text or array returned is new, allocated with xmalloc/xrealloc/
//   xstrdup (release with free(), arrays with array_free) and belongs to the
//   caller. An allocation failure is an impossible state and ends in the
//   fatal-error sequence (source "src/misc").
// - Character classes are those of the C locale: letters are ASCII letters,
//   printable characters are 0x20 to 0x7E, case folding touches ASCII
//   letters only.
// - Bad input is never reported: null texts and arrays are handled as each
//   operation says, over-long input is cut.
//
// String array: a heap array of pointers to separately allocated
// NUL-terminated strings, ended by a null pointer. Operations that grow or
// shrink an array reallocate it and return the new pointer; the old pointer
// is no longer valid afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Bounded strings and plain text ---------------------------------------

// Copies at most size-1 characters of src into dst (size is the whole buffer
// size) and always terminates; size 1 writes only the terminator, size 0
// writes nothing. A null src copies nothing. Returns dst.
char* s_strncpy(char* dst, const char* src, size_t size);

// Appends src to dst so that dst keeps within size-1 characters (size is the
// whole buffer size), always terminated. A dst already holding size-1 or more
// characters (or no terminator within size) is cut to size-1; size 1 empties
// dst; size 0 writes nothing. A null src appends nothing. Returns dst.
char* s_strncat(char* dst, const char* src, size_t size);

// Number of characters before the terminator, at most n; 0 for n = 0 or a
// null text.
size_t s_strnlen(const char* text, size_t n);

// Replaces every `from` by `to` in place. When `to` is the terminator only
// the first `from` is replaced, so the text is cut there. Returns text.
char* s_strip_char(char* text, int from, int to);

// First occurrence of pattern in text ignoring (ASCII) case, or null. An
// empty pattern matches at the start of a non-empty text; an empty or null
// text gives null, as does a null pattern.
char* s_strcasestr(const char* text, const char* pattern);

// Lower-case / upper-case the text in place (ASCII letters only); a null
// text is left alone. Both return 0.
int string_tolower(char* text);
int string_toupper(char* text);

// Reallocates text (null allowed) to hold text followed by more and returns
// the new pointer; a null `more` appends nothing.
char* string_append(char* text, const char* more);

// 1 when the first n characters (stopping at the terminator) hold no byte
// 0x21 to 0x7E, that is nothing printable but spaces; else 0. A null or empty
// text or n = 0 gives 1.
int isempty(const char* text, size_t n);

// 1 when the text is a dotted quad: exactly four decimal numbers of one to
// three digits, each 0 to 255, joined by three dots; else 0. Texts such as
// "...", "1..2.3", "256.1.1.1" or anything with a blank or letter give 0.
int isip(const char* text);

// The number atoi would read from text (leading blanks, a sign, digits; 0
// when none), held at INT_MIN or INT_MAX when it lies beyond an int instead
// of being undefined.
int atoi_clamped(const char* text);

// 2 to the power n for n >= 1, 1 for n <= 0; exponents above 63 are taken
// as 63 so the result never overflows.
uint64_t xpow(int n);

// Copies the characters of text, without its terminator, into the byte
// array of `size` bytes: at most size-1 of them, followed by a 0 byte, so the
// array always reads as a C string. Returns the number of characters copied;
// 0 for a null or empty text or a size of 0 (nothing is written then).
size_t signed_to_unsigned_char(const char* text, unsigned char* bytes, size_t size);

// New text for a byte count: "%.1f GB" of n / 2^30 from 2^30 on, "%.1f MB"
// of n / 2^20 from 2^20 on, "%.1f B" below 1024, "%.1f KB" of n / 1024
// otherwise. The whole text is always returned (at most 16 characters, for
// the largest 64-bit count).
char* filesize(uint64_t n);

// Flags of string_to_html, OR-ed together.
enum {
    HTML_NEWLINE_BREAK = 1, // a newline becomes "<br>"
    HTML_SPACE_NBSP = 2,    // a space becomes "&nbsp;"
    HTML_PATTERN_QUOTE = 4, // a backslash goes before each of "';.?/\[]{}()+*|$"
};

// New HTML-escaped copy of text (up to its terminator); a null text gives an
// empty text. For each character the first rule that applies:
//   1. flag 4 and one of the sixteen pattern characters: a backslash, then
//      the character;
//   2. '"' -> "&quot;", '<' -> "&lt;", '>' -> "&gt;", '&' -> "&amp;";
//   3. flag 1 and a newline: "<br>";
//   4. flag 2 and a space: "&nbsp;";
//   5. otherwise the character itself.
// Only when flags is exactly 1 are long runs wrapped: a counter restarts at
// every space of the input and counts each input character (the space
// included); each time it reaches a multiple of line_length "<br>" is
// appended. A line_length of 0 or less means no wrapping.
// (The interface pages pass the general section's line length.)
char* string_to_html(const char* text, int flags, int line_length);

// The same with the general section's line length (no wrapping before the
// section exists). Defined with the general section (config/general.cpp).
char* string_to_html(const char* text, int flags);

// New string array of the words of a command line, for running an external
// program. Words are separated by spaces (0x20 only). Double quotes and
// single quotes group, each kind literal inside the other; a backslash
// outside quotes takes the next character literally and is dropped; quotes
// join with adjacent characters into one word; an empty quoted word gives no
// word. A word keeps at most 255 characters, the rest of it is dropped.
// Never null: an empty, blank or null line gives an array holding only the
// null pointer.
char** cmdline_parse(const char* text);

// New path with "." and ".." segments resolved: always starts with "/"; ends
// with "/" when the input's last '/' is its last character and not its
// first. ".." at the top is dropped. A null path gives null.
char* resolve_path(const char* path);

// ---- String arrays ----------------------------------------------------------

// Splits text at the separator into a new array. Leading, trailing and
// repeated separators never produce empty pieces; an empty text, or one of
// separators only, gives an array of one empty string; null gives null.
char** string_break(const char* text, char sep);

// Number of entries before the null pointer; 0 for a null array.
int array_length(char* const* array);

// Frees every string and the array; a null array is ignored.
void array_free(char** array);

// New array with copies of every string, in order; null gives null.
char** array_dup(char* const* array);

// 1 when some entry equals text exactly, else 0 (also for a null array or
// text).
int array_find(char* const* array, const char* text);

// Appends a copy of text (a null text is ignored); a null array starts a new
// one. Returns the new array.
char** array_add(char** array, const char* text);

// Removes and frees every entry equal to text, keeps the order of the others
// and shrinks the array to fit (an emptied array keeps its null pointer).
// Returns the array; null gives null.
char** array_delete(char** array, const char* text);

// New text of all entries joined by the separator; a null or empty array
// gives an empty text.
char* array_merge(char* const* array, char sep);
