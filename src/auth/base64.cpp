#include "auth/base64.h"

#include <limits.h>

static const char alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, -1 for anything outside the alphabet
// (padding, the terminator, bytes over 0x7F included).
static int value_of(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

void to64frombits(char* out, const unsigned char* bytes, size_t count) {
    for (; count > 0; bytes += 3, out += 4) {
        int group = count >= 3 ? 3 : static_cast<int>(count);
        encodeblock(bytes, out, group);
        count -= group;
    }
    *out = '\0';
}

int from64tobits(char* out, const char* text, size_t capacity) {
    if (text == nullptr)
        return -1;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    // The count is returned as an int: never decode more than it can hold.
    if (capacity > INT_MAX)
        capacity = INT_MAX;
    size_t length = 0;

    if (in[0] == '+' && in[1] == ' ')
        in += 2;
    if (*in == '\r')
        return 0;

    for (;;) {
        int v0 = value_of(in[0]);
        if (v0 < 0)
            return -1;
        int v1 = value_of(in[1]);
        if (v1 < 0)
            return -1;
        // Checked one at a time, so a terminator inside the group stops the
        // reading before anything past it is touched.
        int v2 = in[2] == '=' ? -2 : value_of(in[2]);
        if (v2 == -1)
            return -1;
        int v3 = in[3] == '=' ? -2 : value_of(in[3]);
        if (v3 == -1 || (v2 == -2 && v3 != -2))
            return -1;

        size_t group = v2 == -2 ? 1 : v3 == -2 ? 2 : 3;
        if (group > capacity - length)
            return -1;
        out[length++] = static_cast<char>((v0 << 2) | (v1 >> 4));
        if (group >= 2)
            out[length++] = static_cast<char>(((v1 << 4) & 0xf0) | (v2 >> 2));
        if (group == 3)
            out[length++] = static_cast<char>(((v2 << 6) & 0xc0) | v3);

        in += 4;
        if (group < 3 || *in == '\0' || *in == '\r')
            return static_cast<int>(length);
    }
}

void encodeblock(const unsigned char in[3], char out[4], int count) {
    if (count < 1 || count > 3) {
        out[0] = out[1] = out[2] = out[3] = '=';
        return;
    }
    unsigned char b1 = count > 1 ? in[1] : 0;
    unsigned char b2 = count > 2 ? in[2] : 0;
    out[0] = alphabet[in[0] >> 2];
    out[1] = alphabet[((in[0] << 4) & 0x30) | (b1 >> 4)];
    out[2] = count > 1 ? alphabet[((b1 << 2) & 0x3c) | (b2 >> 6)] : '=';
    out[3] = count > 2 ? alphabet[b2 & 0x3f] : '=';
}

void decodeblock(const unsigned char in[4], unsigned char out[3]) {
    unsigned v0 = in[0] & 0x3f, v1 = in[1] & 0x3f, v2 = in[2] & 0x3f, v3 = in[3] & 0x3f;
    out[0] = static_cast<unsigned char>((v0 << 2) | (v1 >> 4));
    out[1] = static_cast<unsigned char>(((v1 << 4) & 0xf0) | (v2 >> 2));
    out[2] = static_cast<unsigned char>(((v2 << 6) & 0xc0) | v3);
}
