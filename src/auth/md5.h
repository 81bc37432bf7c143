// MD5 digests (RFC 1321) through OpenSSL's EVP interface: the text form the
// cache names its stored objects by, and an incremental form for data that
// arrives in pieces.
//
// No shared state but OpenSSL's own: safe from any thread. A context
// belongs to the one caller that started it.
#pragma once

#include <stddef.h>

struct evp_md_ctx_st;

// Digest size in bytes and the size of the text form with its terminator.
enum { MD5_DIGEST_BYTES = 16, MD5_TEXT_SIZE = 33 };

// Writes the digest of `text` (its bytes up to the terminator) to `out` as
// 32 lowercase hexadecimal digits and a terminator. Returns 0; -1 when
// OpenSSL cannot compute it (no MD5 in the loaded providers), `out` is the
// empty text then. A NULL text is digested as the empty text.
int md5_string(const char* text, char out[MD5_TEXT_SIZE]);

// Incremental digest: md5_starts, any number of md5_update, then
// md5_finish, which releases the context whatever its result. Each returns
// 0, or -1 when OpenSSL fails (the context is released then too, and
// further calls on it return -1 until the next md5_starts).
struct md5_context {
    evp_md_ctx_st* evp = nullptr;
};
int md5_starts(md5_context* context);
int md5_update(md5_context* context, const void* data, size_t length);
int md5_finish(md5_context* context, unsigned char digest[MD5_DIGEST_BYTES]);
