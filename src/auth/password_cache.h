// The password cache and PAM authentication.
//
// The cache remembers the verdict on a user name and password pair that
// arrived in Basic credentials, so that the authentication stack is asked
// only once per pair and age. It is a chained table in GLOBAL
// (GLOBAL::password_cache, guarded by GLOBAL::password_cache_lock).
//
// Passwords are never kept in clear: an entry holds a random salt and the
// SHA-256 digest of salt and password, and a password matches only when
// its digest is the same, so letter case counts. User names are compared
// exactly too, as the authentication stack compares them; the chain of a
// name depends on its case as well.
//
// The table functions (password_cache_create .. password_cache_expire) take
// no lock: the caller holds GLOBAL::password_cache_lock. The check, update
// and clean functions take it themselves (read for checks, write for
// changes). A NULL table given to search, purge, insert or expire is an
// impossible state and ends in the fatal-error sequence (source
// "src/password_cache").
#pragma once

#include <time.h>

#include <security/pam_appl.h>

// Verdicts stored in an entry; 0 means "nothing cached".
enum { PASSWORD_CACHE_GOOD = 1, PASSWORD_CACHE_BAD = 2 };

enum { PASSWORD_SALT_BYTES = 16, PASSWORD_DIGEST_BYTES = 32 };

struct PASSWORD_CACHE_ENTRY {
    PASSWORD_CACHE_ENTRY* next; // next entry of the chain
    time_t stamp;               // time of insertion
    char* user;                 // owned copy of the user name
    unsigned char salt[PASSWORD_SALT_BYTES];
    unsigned char password[PASSWORD_DIGEST_BYTES]; // SHA-256 of salt and password
    int result;                 // PASSWORD_CACHE_GOOD or PASSWORD_CACHE_BAD
};

struct PASSWORD_CACHE_TABLE {
    int n;                        // chain count, at least 1
    PASSWORD_CACHE_ENTRY** table; // chain heads, NULL when empty
};

// Chain index of a user name in a table of n chains (n >= 1): 0 for an
// empty name; else each character c (signed) adds password_cachesize +
// 20c + (c >> 2) + (c >> 4) to a wrapping 32-bit sum, taken modulo n.
unsigned password_cache_key(int n, const char* user);

// A table with n empty chains; NULL for n < 1 (there is no cache then).
// Allocation failure is fatal.
PASSWORD_CACHE_TABLE* password_cache_create(int n);

// The entry for this exact user name and password, or NULL (also for a NULL
// user or password).
PASSWORD_CACHE_ENTRY* password_cache_search(PASSWORD_CACHE_TABLE* table, const char* user,
                                            const char* password);

// One-key form: the first entry in the chain of `text` (keyed as a user
// name) whose password is `text`; NULL for a NULL text or none.
PASSWORD_CACHE_ENTRY* password_cache_search(PASSWORD_CACHE_TABLE* table, const char* text);

// The existing entry of the pair, unchanged, when there is one; else a new
// entry (own copy of the name, salted digest of the password, the result,
// stamp now) at the end of the chain. NULL for a NULL user or password, or
// when no random salt could be had (logged; the pair is simply not cached).
PASSWORD_CACHE_ENTRY* password_cache_insert(PASSWORD_CACHE_TABLE* table, const char* user,
                                            const char* password, int result);

// Removes and frees the entry of the pair; nothing when there is none or a
// text is NULL.
void password_cache_purge(PASSWORD_CACHE_TABLE* table, const char* user, const char* password);

// Removes and frees every entry stamped at or before now minus `age`
// seconds; returns how many.
int password_cache_expire(PASSWORD_CACHE_TABLE* table, unsigned age);

// Timer job (argument ignored): expires the entries of GLOBAL's cache that
// are password_cachexpire seconds old, under the write lock.
void password_cache_clean(void*);

// Under the read lock: the cached verdict on the pair, 0 when none or when
// there is no cache.
int check_password_cache(const char* user, const char* password);
// One-key form of the same, through password_cache_search(table, text).
int check_password_cache(const char* text);

// Under the write lock: forgets the pair's verdict and stores `result` with
// a fresh stamp. Returns 1 when the verdict was stored, 0 when there is no
// cache or the pair could not be stored.
int update_password_cache(const char* user, const char* password, int result);

// The PAM verdict on the pair for the service `pamfile` (option -x): 0 when
// pam_authenticate and then pam_acct_mgmt (both with
// PAM_DISALLOW_NULL_AUTHTOK) accept it, else the first non-zero PAM result.
// Each call is its own PAM transaction and holds no lock of this component.
// A NULL user or password gives PAM_AUTH_ERR without asking PAM.
int auth_pam(const char* user, const char* password);

// PAM conversation function: answers each of the `count` messages, whatever
// its style, with a new copy of the password (appdata points at the
// auth_pam_credentials). PAM_CONV_ERR for a count outside 1 to
// PAM_MAX_NUM_MSG or no credentials, PAM_BUF_ERR when memory runs out
// (nothing is left allocated then).
struct auth_pam_credentials {
    const char* user;
    const char* password;
};
int auth_pam_talker(int count, const struct pam_message** messages,
                    struct pam_response** responses, void* appdata);
