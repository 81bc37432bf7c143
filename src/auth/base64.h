// Base64 (RFC 4648 standard alphabet A-Z a-z 0-9 + /, "=" padding) in two
// forms: whole buffers (Basic credentials from clients and towards parent
// proxies, NTLM messages, ICAP) and single blocks (encrypted configuration
// passwords).
//
// No state and no lock: every function works only on the caller's buffers
// and is safe from any thread.
#pragma once

#include <stddef.h>

// Characters of output area to64frombits() needs for `count` bytes: four
// characters per started group of three bytes, and the terminator.
constexpr size_t base64_encoded_size(size_t count) {
    return (count + 2) / 3 * 4 + 1;
}

// Writes the Base64 text of the `count` bytes at `bytes` to `out`, "="
// padded, and a terminator. `out` must hold base64_encoded_size(count)
// characters.
void to64frombits(char* out, const unsigned char* bytes, size_t count);

// Decodes `text` into `out`, which holds `capacity` bytes; writes no
// terminator. Returns the number of bytes decoded, or -1 for malformed text
// or when the decoded bytes would not fit in `capacity` (bytes before the
// failure may have been written: a caller must ignore `out` then).
//
// A leading "+ " is skipped; a text that then starts with a carriage return
// decodes to 0 bytes. Groups of four characters follow: two alphabet
// characters, then two more or "x=" or "==" (which end the text). Decoding
// stops after a group followed by the terminator or a carriage return. Any
// other character, including a byte over 0x7F, a blank or the terminator
// inside a group, gives -1, so do an empty text and a NULL text.
int from64tobits(char* out, const char* text, size_t capacity);

// Standard Base64 of the first `count` bytes (1 to 3) of `in` as four
// characters (no terminator): count 1 ends in "==", count 2 in "=".
// A count outside 1..3 writes "====".
void encodeblock(const unsigned char in[3], char out[4], int count);

// Packs four 6-bit values (0 to 63, already mapped from characters by the
// caller; higher bits are ignored) into three bytes, most significant first.
void decodeblock(const unsigned char in[4], unsigned char out[3]);
