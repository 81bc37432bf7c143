#include "iface/login_sessions.h"

#include <pthread.h>

#include <map>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

struct Session {
    std::string credentials_key;
    time_t expires;
};

pthread_mutex_t sessions_lock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, Session> sessions; // by token

std::string hex(const unsigned char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

// Hex SHA-256 of a text holding secrets, which is wiped; "" on failure.
std::string digest_of_secret(std::string text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        length = 0;
    OPENSSL_cleanse(&text[0], text.size());
    return length == 0 ? std::string() : hex(digest, length);
}

// Drops expired sessions, then the one expiring first while the table is
// full; the lock is held.
void make_room(time_t now) {
    for (auto it = sessions.begin(); it != sessions.end();)
        it = it->second.expires <= now ? sessions.erase(it) : std::next(it);
    while (sessions.size() >= LOGIN_SESSION_MAX) {
        auto first = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it)
            if (it->second.expires < first->second.expires)
                first = it;
        sessions.erase(first);
    }
}

} // namespace

time_t login_clock() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

std::string login_credentials_key(const std::string& user, const std::string& password) {
    // The zero byte keeps "ab"+"c" apart from "a"+"bc".
    return digest_of_secret(user + std::string(1, '\0') + password);
}

std::string login_form_token(const std::string& session_token) {
    if (session_token.empty()) {
        // Made under the table's lock the first time it is asked for.
        static std::string process_token;
        pthread_mutex_lock(&sessions_lock);
        unsigned char random[LOGIN_TOKEN_LENGTH / 2];
        if (process_token.empty() && RAND_bytes(random, sizeof random) == 1)
            process_token = hex(random, sizeof random);
        std::string token = process_token;
        pthread_mutex_unlock(&sessions_lock);
        return token;
    }
    // The prefix keeps this digest apart from any other use of the token.
    return digest_of_secret("form token" + std::string(1, '\0') + session_token);
}

std::string login_session_open(const std::string& credentials_key, time_t now) {
    unsigned char random[LOGIN_TOKEN_LENGTH / 2];
    if (credentials_key.empty() || RAND_bytes(random, sizeof random) != 1)
        return std::string();
    std::string token = hex(random, sizeof random);
    pthread_mutex_lock(&sessions_lock);
    make_room(now);
    sessions[token] = Session{credentials_key, now + LOGIN_SESSION_LIFETIME};
    pthread_mutex_unlock(&sessions_lock);
    return token;
}

bool login_session_renew(const std::string& token, const std::string& credentials_key,
                         time_t now) {
    if (token.size() != LOGIN_TOKEN_LENGTH)
        return false;
    bool live = false;
    pthread_mutex_lock(&sessions_lock);
    auto found = sessions.find(token);
    if (found != sessions.end()) {
        if (found->second.expires <= now) {
            sessions.erase(found);
        } else if (found->second.credentials_key == credentials_key) {
            found->second.expires = now + LOGIN_SESSION_LIFETIME;
            live = true;
        }
    }
    pthread_mutex_unlock(&sessions_lock);
    return live;
}

void login_session_close(const std::string& token) {
    pthread_mutex_lock(&sessions_lock);
    sessions.erase(token);
    pthread_mutex_unlock(&sessions_lock);
}

void login_sessions_clear() {
    pthread_mutex_lock(&sessions_lock);
    sessions.clear();
    pthread_mutex_unlock(&sessions_lock);
}
