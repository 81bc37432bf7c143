#include "auth/md5.h"

#include <stdio.h>
#include <string.h>

#include <openssl/evp.h>

// The MD5 implementation, fetched from the providers once for the whole
// process instead of at every digest; NULL when none offers MD5.
static const EVP_MD* md5_algorithm() {
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return algorithm;
}

int md5_string(const char* text, char out[MD5_TEXT_SIZE]) {
    out[0] = '\0';
    const EVP_MD* md5 = md5_algorithm();
    if (md5 == nullptr)
        return -1;
    if (text == nullptr)
        text = "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text, strlen(text), digest, &length, md5, nullptr) != 1 ||
        length != MD5_DIGEST_BYTES)
        return -1;
    for (unsigned i = 0; i < MD5_DIGEST_BYTES; i++)
        snprintf(out + 2 * i, 3, "%02x", digest[i]);
    return 0;
}

static int md5_fail(md5_context* context) {
    EVP_MD_CTX_free(context->evp);
    context->evp = nullptr;
    return -1;
}

int md5_starts(md5_context* context) {
    EVP_MD_CTX_free(context->evp);
    const EVP_MD* md5 = md5_algorithm();
    context->evp = EVP_MD_CTX_new();
    if (md5 == nullptr || context->evp == nullptr ||
        EVP_DigestInit_ex(context->evp, md5, nullptr) != 1)
        return md5_fail(context);
    return 0;
}

int md5_update(md5_context* context, const void* data, size_t length) {
    if (context->evp == nullptr)
        return -1;
    if (EVP_DigestUpdate(context->evp, data, length) != 1)
        return md5_fail(context);
    return 0;
}

int md5_finish(md5_context* context, unsigned char digest[MD5_DIGEST_BYTES]) {
    if (context->evp == nullptr)
        return -1;
    unsigned int length = 0;
    int ok = EVP_DigestFinal_ex(context->evp, digest, &length) == 1 &&
             length == MD5_DIGEST_BYTES;
    EVP_MD_CTX_free(context->evp);
    context->evp = nullptr;
    return ok ? 0 : -1;
}
