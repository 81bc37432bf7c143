#include "auth/password_cache.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "auth/access.h"
#include "core/daemon.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"

static const char source[] = "src/password_cache";

unsigned password_cache_key(int n, const char* user) {
    uint32_t sum = 0;
    for (const char* p = user; *p != '\0'; p++) {
        int c = static_cast<signed char>(*p);
        sum += password_cachesize + static_cast<uint32_t>(20 * c + (c >> 2) + (c >> 4));
    }
    return sum % static_cast<unsigned>(n);
}

PASSWORD_CACHE_TABLE* password_cache_create(int n) {
    if (n < 1)
        return nullptr;
    auto* table = static_cast<PASSWORD_CACHE_TABLE*>(xmalloc(sizeof(PASSWORD_CACHE_TABLE)));
    if (table == nullptr)
        FATAL_ALLOC(source, sizeof(PASSWORD_CACHE_TABLE));
    size_t heads = static_cast<size_t>(n) * sizeof(PASSWORD_CACHE_ENTRY*);
    table->table = static_cast<PASSWORD_CACHE_ENTRY**>(xmalloc(heads));
    if (table->table == nullptr)
        FATAL_ALLOC(source, heads);
    table->n = n;
    return table;
}

// SHA-256, fetched from the providers once for the whole process.
static const EVP_MD* sha256_algorithm() {
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm;
}

// Digest of salt and password into `out`; false when OpenSSL fails.
static bool password_digest(const unsigned char* salt, const char* password,
                            unsigned char out[PASSWORD_DIGEST_BYTES]) {
    const EVP_MD* sha256 = sha256_algorithm();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    unsigned int length = 0;
    bool ok = sha256 != nullptr && context != nullptr &&
              EVP_DigestInit_ex(context, sha256, nullptr) == 1 &&
              EVP_DigestUpdate(context, salt, PASSWORD_SALT_BYTES) == 1 &&
              EVP_DigestUpdate(context, password, strlen(password)) == 1 &&
              EVP_DigestFinal_ex(context, out, &length) == 1 && length == PASSWORD_DIGEST_BYTES;
    EVP_MD_CTX_free(context);
    return ok;
}

static bool password_matches(const PASSWORD_CACHE_ENTRY* entry, const char* password) {
    unsigned char digest[PASSWORD_DIGEST_BYTES];
    return password_digest(entry->salt, password, digest) &&
           CRYPTO_memcmp(digest, entry->password, sizeof digest) == 0;
}

static bool entry_matches(const PASSWORD_CACHE_ENTRY* entry, const char* user,
                          const char* password) {
    return strcmp(entry->user, user) == 0 && password_matches(entry, password);
}

static void entry_free(PASSWORD_CACHE_ENTRY* entry) {
    if (entry->user == nullptr)
        FATAL(source);
    free(entry->user);
    free(entry);
}

PASSWORD_CACHE_ENTRY* password_cache_search(PASSWORD_CACHE_TABLE* table, const char* user,
                                            const char* password) {
    if (table == nullptr)
        FATAL(source);
    if (user == nullptr || password == nullptr)
        return nullptr;
    for (PASSWORD_CACHE_ENTRY* e = table->table[password_cache_key(table->n, user)]; e != nullptr;
         e = e->next)
        if (entry_matches(e, user, password))
            return e;
    return nullptr;
}

PASSWORD_CACHE_ENTRY* password_cache_search(PASSWORD_CACHE_TABLE* table, const char* text) {
    if (table == nullptr)
        FATAL(source);
    if (text == nullptr)
        return nullptr;
    for (PASSWORD_CACHE_ENTRY* e = table->table[password_cache_key(table->n, text)]; e != nullptr;
         e = e->next)
        if (password_matches(e, text))
            return e;
    return nullptr;
}

PASSWORD_CACHE_ENTRY* password_cache_insert(PASSWORD_CACHE_TABLE* table, const char* user,
                                            const char* password, int result) {
    if (table == nullptr)
        FATAL(source);
    if (user == nullptr || password == nullptr)
        return nullptr;
    PASSWORD_CACHE_ENTRY** link = &table->table[password_cache_key(table->n, user)];
    for (; *link != nullptr; link = &(*link)->next)
        if (entry_matches(*link, user, password))
            return *link;

    auto* entry = static_cast<PASSWORD_CACHE_ENTRY*>(xmalloc(sizeof(PASSWORD_CACHE_ENTRY)));
    if (entry == nullptr)
        FATAL_ALLOC(source, sizeof(PASSWORD_CACHE_ENTRY));
    if (RAND_bytes(entry->salt, sizeof entry->salt) != 1 ||
        !password_digest(entry->salt, password, entry->password)) {
        putlog(LOG_ERROR, "[openssl: %lu], in %s, cannot hash a password for the password cache",
               ERR_get_error(), __func__);
        free(entry);
        return nullptr;
    }
    entry->user = xstrdup(user);
    if (entry->user == nullptr)
        FATAL_ALLOC(source, strlen(user) + 1);
    entry->stamp = time(nullptr);
    entry->result = result;
    *link = entry;
    return entry;
}

void password_cache_purge(PASSWORD_CACHE_TABLE* table, const char* user, const char* password) {
    if (table == nullptr)
        FATAL(source);
    if (user == nullptr || password == nullptr)
        return;
    for (PASSWORD_CACHE_ENTRY** link = &table->table[password_cache_key(table->n, user)];
         *link != nullptr; link = &(*link)->next) {
        if (entry_matches(*link, user, password)) {
            PASSWORD_CACHE_ENTRY* entry = *link;
            *link = entry->next;
            entry_free(entry);
            return;
        }
    }
}

int password_cache_expire(PASSWORD_CACHE_TABLE* table, unsigned age) {
    if (table == nullptr)
        FATAL(source);
    uint64_t oldest_kept = static_cast<uint64_t>(time(nullptr) - static_cast<time_t>(age));
    int removed = 0;
    for (int i = 0; i < table->n; i++) {
        PASSWORD_CACHE_ENTRY** link = &table->table[i];
        while (*link != nullptr) {
            PASSWORD_CACHE_ENTRY* entry = *link;
            if (static_cast<uint64_t>(entry->stamp) <= oldest_kept) {
                *link = entry->next;
                entry_free(entry);
                removed++;
            } else {
                link = &entry->next;
            }
        }
    }
    return removed;
}

void password_cache_clean(void*) {
    if (global == nullptr || global->password_cache == nullptr)
        return;
    pthread_rwlock_wrlock(&global->password_cache_lock);
    password_cache_expire(global->password_cache, static_cast<unsigned>(password_cachexpire));
    pthread_rwlock_unlock(&global->password_cache_lock);
}

int check_password_cache(const char* user, const char* password) {
    if (global == nullptr || global->password_cache == nullptr)
        return 0;
    pthread_rwlock_rdlock(&global->password_cache_lock);
    PASSWORD_CACHE_ENTRY* entry = password_cache_search(global->password_cache, user, password);
    int result = entry != nullptr ? entry->result : 0;
    pthread_rwlock_unlock(&global->password_cache_lock);
    return result;
}

int check_password_cache(const char* text) {
    if (global == nullptr || global->password_cache == nullptr)
        return 0;
    pthread_rwlock_rdlock(&global->password_cache_lock);
    PASSWORD_CACHE_ENTRY* entry = password_cache_search(global->password_cache, text);
    int result = entry != nullptr ? entry->result : 0;
    pthread_rwlock_unlock(&global->password_cache_lock);
    return result;
}

int update_password_cache(const char* user, const char* password, int result) {
    if (global == nullptr || global->password_cache == nullptr)
        return 0;
    pthread_rwlock_wrlock(&global->password_cache_lock);
    password_cache_purge(global->password_cache, user, password);
    PASSWORD_CACHE_ENTRY* entry =
        password_cache_insert(global->password_cache, user, password, result);
    pthread_rwlock_unlock(&global->password_cache_lock);
    return entry != nullptr ? 1 : 0;
}

// ---- PAM ----------------------------------------------------------------

int auth_pam_talker(int count, const struct pam_message** messages,
                    struct pam_response** responses, void* appdata) {
    (void)messages; // every message, whatever its style, gets the password
    const auto* credentials = static_cast<const auth_pam_credentials*>(appdata);
    if (count < 1 || count > PAM_MAX_NUM_MSG || responses == nullptr || credentials == nullptr ||
        credentials->password == nullptr)
        return PAM_CONV_ERR;
    // PAM releases the answers with free(): they come from the C allocator.
    auto* answers = static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (answers == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; i++) {
        answers[i].resp_retcode = 0;
        answers[i].resp = strdup(credentials->password);
        if (answers[i].resp == nullptr) {
            for (int j = 0; j < i; j++) {
                explicit_bzero(answers[j].resp, strlen(answers[j].resp));
                free(answers[j].resp);
            }
            free(answers);
            return PAM_BUF_ERR;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

int auth_pam(const char* user, const char* password) {
    if (user == nullptr || password == nullptr)
        return PAM_AUTH_ERR;
    auth_pam_credentials credentials = {user, password};
    const struct pam_conv conversation = {auth_pam_talker, &credentials};
    pam_handle_t* handle = nullptr;
    int result = pam_start(pamfile, user, &conversation, &handle);
    if (result == PAM_SUCCESS) {
        result = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
        if (result == PAM_SUCCESS)
            result = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    }
    if (handle != nullptr)
        pam_end(handle, PAM_SUCCESS);
    return result;
}

// Log texts of the PAM result codes 1 to 32, each following "[pam: <code>: ".
static const char* const pam_texts[] = {
    "",
    "PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module",
    "PAM_SYMBOL_ERR] Symbol not found",
    "PAM_SERVICE_ERR] Error in service module",
    "PAM_SYSTEM_ERR] System error",
    "PAM_BUF_ERR] Memory buffer error",
    "PAM_PERM_DENIED] Permission denied",
    "PAM_AUTH_ERR] Authentication failure",
    "PAM_CRED_INSUFFICIENT] Can not access authentication data due to insufficient credentials",
    "PAM_AUTHINFO_UNAVAIL] Underlying authentication service an not retrieve authentication "
    "information",
    "PAM_USER_UNKNOWN] User not known to the underlying authenticaiton module",
    "PAM_MAXTRIES] An authentication service has maintained a retry count which has been "
    "reached. No further retries should be attempted",
    "PAM_NEW_AUTHTOK_REQD] New authentication token required. This is normally returned if the "
    "machine security policies require that the password should be changed beccause the "
    "password is NULL or it has aged",
    "PAM_ACCT_EXPIRED] User account has expired",
    "PAM_SESSION_ERR] Can not make/remove an entry for the specified session",
    "PAM_CRED_UNAVAIL] Underlying authentication service can not retrieve user credentials "
    "unavailable",
    "PAM_CRED_EXPIRED] User credentials expired",
    "PAM_CRED_ERR] Failure setting user credentials",
    "PAM_NO_MODULE_DATA] No module specific data is present",
    "PAM_CONV_ERR] Conversation error",
    "PAM_AUTHTOK_ERR] Authentication token manipulation error",
    "PAM_AUTHTOK_RECOVERY_ERR] Authentication information cannot be recovered",
    "PAM_AUTHTOK_LOCK_BUSY] Authentication token lock busy",
    "PAM_AUTHTOK_DISABLE_AGING] Authentication token aging disabled",
    "PAM_TRY_AGAIN] Preliminary check by password service",
    "PAM_IGNORE] Ignore underlying account module regardless of whether the control flag is "
    "required, optional, or sufficient",
    "PAM_ABORT] Critical error (?module fail now request) ",
    "PAM_AUTHTOK_EXPIRED] user's authentication token has expired",
    "PAM_MODULE_UNKNOWN] module is not known",
    "PAM_BAD_ITEM] Bad item passed to pam_*_item()",
    "PAM_CONV_AGAIN] conversation function is event driven and data is not available yet",
    "PAM_INCOMPLETE] please call this function again to complete authentication stack. Before "
    "calling again, verify that conversation is completed",
    "_PAM_RETURN_VALUES] this is the number of return values",
};

void AccessSection::display_pam_msg(int code, const char* user, const char* password) {
    char text[2048] = "";
    if (code >= 1 && code < static_cast<int>(sizeof pam_texts / sizeof pam_texts[0]))
        snprintf(text, sizeof text, "[pam: %d: %s", code, pam_texts[code]);
    switch (code) {
    // These prove the pair wrong (or unusable): refuse it again at once.
    case PAM_PERM_DENIED:
    case PAM_AUTH_ERR:
    case PAM_USER_UNKNOWN:
    case PAM_MAXTRIES:
    case PAM_NEW_AUTHTOK_REQD:
        update_password_cache(user, password, PASSWORD_CACHE_BAD);
        break;
    default:
        break;
    }
    putlog(LOG_ERROR, "security: system: %s", text);
}
