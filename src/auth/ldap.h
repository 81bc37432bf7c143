// Configuration section "ldap": the LDAP directory servers, the pool of
// bound directory connections, and directory authentication.
//
// The directories serve three uses: verifying a Basic password by a simple
// bind with the user's DN, looking up one user's DN and groups, and reading
// the DN and groups of every person into the DN cache (dn_cache.h). A
// server entry is tried only when it is enabled, serves this instance
// (empty proxy-host, or equal to -H), names server, base and user attribute,
// and has a port above 0. Method 0 is a plain connection (ldap://); method 1
// is TLS from the first byte (ldaps://) with the server certificate checked
// against the system's trusted certificates (LDAPTLS_CACERT / ldap.conf may
// name others); a TLS failure makes the entry fail, never a clear-text
// fallback. Every connection has network and operation time-outs.
//
// Locks: the section's read lock is held while a connection is made and the
// service account binds (get_ld); the pool's mutex only inside the pool's
// own operations; the host key under `ldap_lock`. Order: section lock, then
// pool mutex or `ldap_lock`. A connection taken from the pool or made by
// get_ld belongs to the caller until it goes back with LdapPool::Add or is
// unbound.
//
// Passwords never reach the log: failed binds log the DN only.
#pragma once

#include <ldap.h>
#include <pthread.h>
#include <time.h>

#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/section.h"

class Filebuf;
struct CONNECTION_T;

// What a pooled connection may be used for; a request for LDAP_USE_AUTH
// accepts any connection, a request for LDAP_USE_LOAD only search ones.
enum {
    LDAP_USE_AUTH = 0, // verifies users (rebinds as them)
    LDAP_USE_LOAD = 2, // searches, still bound as the service account
};

// Method and bind-type choices (indexes of the section's choice lists).
enum {
    LDAP_METHOD_PLAIN = 0,
    LDAP_METHOD_SSL = 1,
    LDAP_BIND_ANONYMOUS = 3, // this index and above bind with an empty DN
};

// Texts of the server entry a connection was bound for.
struct LdapTarget {
    std::string base;
    std::string user_attribute;
    std::string group_attribute;
};

// One server entry, built from an item of subsection "servers" by position.
struct LdapAuth {
    explicit LdapAuth(const Item& item);

    int enabled;
    std::string comment;
    std::string proxy_host;
    std::string server;
    int port;
    int method;
    int bind_type;
    int size_limit;
    std::string reserved;
    std::string bind_dn;
    std::string bind_password; // encrypted text (password_crypt.h)
    std::string base;
    std::string user_attribute;
    std::string group_attribute;
};

// Held with the section read lock and `ldap_lock`; see above.
class LdapSection : public Section {
public:
    LdapSection();
    // Rebuilds `servers` from subsection 0 and reloads the host key.
    void update() override;

    bool is_ldap_enabled() const;

    // A bound connection for `use`: from the pool, else from the first
    // server entry that connects and binds; its entry's texts go to
    // `target`. NULL when LDAP is off or no entry works (each failure is
    // logged). The connection is the caller's.
    LDAP* get_ld(LdapTarget& target, int use);

    // The service-account bind rule of field bind-type: bind types 0-2 bind
    // with dn and password, higher ones anonymously. The library's code.
    static int do_auth_ldap(LDAP* handle, const char* dn, const char* password, int bind_type);

    // Verifies a password by binding as the user's DN: 0 accepted, -1 wrong
    // password (also for an empty password, which never reaches the
    // server), 1 any other failure (no DN, no directory, server down,
    // time-out) - only -1 may be cached as a bad password.
    int do_auth_ldap(const char* dn, const char* password, const char* client_ip);

    // Looks one user up in the directory (the DN cache had no entry): 0 with
    // the DN and groups, and the entry cached, when an entry's user
    // attribute equals the name (ignoring case); 0 with the DN "NOT-FOUND",
    // empty groups and nothing cached when none does; -1 when LDAP is off or
    // the directory cannot be searched.
    int re_check_dn_cache(const char* user, std::string& dn, std::string& groups);

    // (Re)loads the DN cache: from another instance (ldap_sync), else by
    // the full directory search. The result is not used by callers.
    int ldap_init_routine();

    // Copies the DN cache from the first server entry whose bind type is not
    // 0 (another instance serving "/ldapcache" at server:port), fetched with
    // the internal HTTP client; a bind DN and its password travel as Basic
    // credentials set on the URL record. 1 when the other instance answered
    // 200 (see dn_cache_sync_response), -1 otherwise (no such entry, a
    // password that cannot be decrypted, a server no URL can hold, no
    // answer, another status).
    int ldap_sync();

    // Appends the "/ldapcache" document (the whole DN cache) to the buffer.
    void interface_page_sendldap(Filebuf* buffer);

    // This installation's host key (at most 511 characters) into `out`,
    // without a terminator; returns its length.
    int get_our_key(unsigned char* out);
    // Reloads the host key from the key provider (password_crypt.h).
    void set_our_key();

    std::list<LdapAuth> servers;
    int* enabled;
    char host_key[512];
    time_t dn_cache_loaded; // guarded by documentlock

private:
    LDAP* connect_entry(const LdapAuth& entry);
};

extern LdapSection* ldap_section;
extern pthread_rwlock_t ldap_lock; // guards LdapSection::host_key

// One pooled connection.
struct ldappool_t {
    LDAP* handle;
    time_t added;
    LdapTarget target;
    int use;
};

// Bound connections waiting for reuse, oldest first; at most MAXTHREADS/20
// (at least 1). Connections older than CLIENT_POOL_TIMEOUT seconds are
// dropped by Clean (the 10-second timer job).
class LdapPool {
public:
    LdapPool();
    ~LdapPool();
    LdapPool(const LdapPool&) = delete;
    LdapPool& operator=(const LdapPool&) = delete;

    // Appends the connection; at capacity the oldest is unbound first.
    void Add(LDAP* handle, const LdapTarget& target, int use);
    // Takes the oldest connection whose use is at least `use`, with its
    // texts; NULL when none fits.
    LDAP* Find(LdapTarget& target, int use);
    // Unbinds the aged connections and those past the capacity.
    void Clean();
    void CleanUnlocked(); // the caller holds the mutex
    size_t Size();

    pthread_mutex_t mutex;
    std::list<ldappool_t*> list;
};

// Made by the section's constructor (the start-up hook makes it when there
// is none), so it exists before any request or timer job uses LDAP.
extern LdapPool* ldappool;

// Filter-value escaping of RFC 4515: "*", "(", ")", "\" and NUL become
// "\2a", "\28", "\29", "\5c", "\00", so a user name can only ever be a value.
std::string ldap_filter_escape(const std::string& value);

// The directory names of a user from the DN cache (asking the directory for
// a name it lacks): `dn_parts` is the DN split at ",", `user_groups` the DN
// parts followed by the group names split at ",". Returns the number of
// entries of `user_groups`, or -1 (both lists empty) when LDAP is off, the
// user is empty, or the DN cannot be had (logged "ldap: [IP: %s] DN not
// found for user %s"). The access rules take PAM for a count of at most 1.
int set_connection_dn(const char* user, const char* client_ip, StringList& dn_parts,
                      StringList& user_groups);

// The same for a client connection: fills CONNECTION_T::dn_parts and
// CONNECTION_T::user_groups, logging with its client address.
int set_connection_dn(const char* user, CONNECTION_T* connection);

// Basic authentication against the directory: binds with the whole DN
// joined from `dn_parts`; the result of LdapSection::do_auth_ldap, and 1
// when LDAP is off.
int auth_ldap(const StringList& dn_parts, const char* password, const char* client_ip);

// The same for a client connection: binds with the DN of
// CONNECTION_T::dn_parts (filled by set_connection_dn); the user name itself
// is not used.
int auth_ldap(const char* user, const char* password, CONNECTION_T* connection);

// The full directory search that fills the DN cache: every person with the
// user attribute under `base`; the user name is the attribute's last value.
// Stamps LdapSection::dn_cache_loaded after every search that was done, so
// the cache then counts as loaded (even an empty directory is searched only
// once per password_cachexpire seconds).
// 0 done, 1 failed (no handle, no attribute, server down).
int getdnfor_authentication(LDAP* handle, const char* name, const char* user_attribute,
                            const char* group_attribute, const char* base);

// The 10-second timer job: prunes the pool and reloads the DN cache once it
// is password_cachexpire seconds old.
void ldap_configure(void*);
// The start-up hook: the first load of the DN cache when LDAP is on.
int ldap_configure(void*, void*);
