#include "ftp/dirlist_token.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "core/log.h"
#include "http/header.h"
#include "net/connection.h"

namespace {

unsigned char token_key[32];
bool token_key_ready = false;
pthread_once_t token_key_once = PTHREAD_ONCE_INIT;

void token_key_draw() {
    token_key_ready = RAND_bytes(token_key, sizeof token_key) == 1;
    if (!token_key_ready)
        putlog(LOG_ERROR, "ftp: no random bytes for the listing tokens: directory actions refused");
}

// The hex digest of issue time and scope; "" without a key.
std::string digest_of(const std::string& issued, const std::string& scope) {
    pthread_once(&token_key_once, token_key_draw);
    if (!token_key_ready)
        return std::string();
    // The zero byte keeps the issue time apart from the scope.
    std::string text = issued + std::string(1, '\0') + scope;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), token_key, sizeof token_key,
             reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest,
             &length) == nullptr)
        return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; i++) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0xF];
    }
    return hex;
}

void scope_add(std::string* scope, const char* part) {
    if (part != nullptr)
        *scope += part;
    *scope += '\0';
}

} // namespace

time_t dirlist_token_clock() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

std::string dirlist_token_scope(const CONNECTION_T* connection, const std::string& directory) {
    std::string scope;
    const HEADER* request = connection->request;
    scope_add(&scope, connection->client_ip);
    scope_add(&scope, request != nullptr ? request->user : nullptr);
    scope_add(&scope, request != nullptr ? request->host : nullptr);
    scope += std::to_string(request != nullptr ? request->port : 0);
    scope += '\0';
    scope += directory;
    return scope;
}

std::string dirlist_token_make(const std::string& scope, time_t now) {
    std::string issued = std::to_string(static_cast<long long>(now));
    std::string digest = digest_of(issued, scope);
    return digest.empty() ? std::string() : issued + "." + digest;
}

bool dirlist_token_check(const std::string& token, const std::string& scope, time_t now) {
    std::string::size_type dot = token.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 20)
        return false;
    std::string issued = token.substr(0, dot);
    if (issued.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long long when = strtoll(issued.c_str(), nullptr, 10);
    if (when > static_cast<long long>(now) ||
        static_cast<long long>(now) - when > static_cast<long long>(DIRLIST_TOKEN_LIFETIME))
        return false;
    std::string expected = digest_of(issued, scope);
    std::string given = token.substr(dot + 1);
    return !expected.empty() && given.size() == expected.size() &&
           CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}
