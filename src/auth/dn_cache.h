// The DN cache: user name (compared ignoring case) to the user's LDAP
// distinguished name and group names. The access rules and the profiles
// scope their rules with these names, and a Basic password is verified by
// binding with the cached DN.
//
// The cache is GLOBAL::dn_cache (8111 chains), guarded by the readers-writer
// lock GLOBAL::dn_cache_lock. It is filled by the full directory search, by
// the look-up of one user the cache does not hold, by the NTLM/Negotiate
// relay, and by copying another instance's cache (the interface document
// "/ldapcache"). Entries never expire; at most one exists per user name and
// a new write replaces it. The directory is never asked while the lock is
// held.
//
// The table functions (dn_cache_create .. dn_cache_purge) take no lock: the
// caller holds GLOBAL::dn_cache_lock. An entry without its texts is an
// impossible state (fatal, source "src/dn_cache").
//
// The "/ldapcache" document: one line per entry, chain 0 to n-1 and chain
// order within a chain: "user TAB dn TAB groups LF", or "user TAB dn LF"
// when the groups are empty.
#pragma once

#include <stddef.h>
#include <time.h>

#include <string>

class Filebuf;

struct DN_CACHE_ENTRY {
    DN_CACHE_ENTRY* next; // next entry of the chain
    time_t stamp;         // time of insertion
    char* user;           // owned copies
    char* dn;
    char* groups; // group names joined by ",", possibly empty
};

struct DN_CACHE_TABLE {
    unsigned n;             // chain count
    DN_CACHE_ENTRY** table; // chain heads, NULL when empty
};

// A table with n (at least 1) empty chains. Allocation failure is fatal.
DN_CACHE_TABLE* dn_cache_create(unsigned n);

// Chain index: 0 for an empty name; else each character c (signed, upper-
// cased with toupper) adds 20c + (c >> 4) + (c >> 2) + 8111 to a wrapping
// 32-bit sum, taken modulo n.
unsigned dn_cache_key(unsigned n, const char* user);

// The first entry of the user's chain whose name equals `user` ignoring
// case; NULL for a NULL user or none.
DN_CACHE_ENTRY* dn_cache_search(DN_CACHE_TABLE* table, const char* user);
// Appends a new entry (copies of the texts; NULL dn or groups read as empty;
// stamp now) at the end of the user's chain; NULL for a NULL user. Callers
// remove the user's entry first.
DN_CACHE_ENTRY* dn_cache_insert(DN_CACHE_TABLE* table, const char* user, const char* dn,
                                const char* groups);
// Removes and frees the user's entry (first match ignoring case).
void dn_cache_purge(DN_CACHE_TABLE* table, const char* user);

// Under the write lock: replaces the user's entry by a new one. Nothing
// without a table or with a NULL user.
void update_dn_cache(const char* user, const char* dn, const char* groups);

// The user's DN and groups: 0 with both filled from the cache; otherwise the
// result of asking the directory for this one user
// (LdapSection::re_check_dn_cache: 0 with the DN, or the DN "NOT-FOUND" when
// the directory does not know the name; -1 when it cannot be asked).
int check_dn_cache(const char* user, std::string& dn, std::string& groups);

// Appends the "/ldapcache" document to the buffer, under the read lock.
void dn_cache_document_write(Filebuf* buffer);

// Loads a "/ldapcache" document of `size` bytes: split at LF (empty lines
// skipped), each line split at TAB (empty fields skipped); two fields are
// user and DN, three user, DN and groups; lines with any other count are
// ignored. Every entry goes through update_dn_cache. Returns the number of
// entries loaded.
int dn_cache_document_load(const char* body, size_t size);

// A user name or password as the user part of a URL record holds it:
// percent-encoded (RFC 3986 userinfo), so that "@", ":", "/", "#" or "%" in
// it can neither change where the URL points nor be read as an escape.
std::string dn_cache_userinfo_encode(const std::string& text);

// What a sync does with the other instance's answer (status and, for 200,
// its Last-Modified value or NULL and the body): a status other than 200 is
// logged ("Ldap: %s:%d responded with %d") and gives -1; a 200 loads the
// body unless its Last-Modified time is not later than that of the document
// loaded last (logged at LOG_DEBUG "Ldap: already syncronized with %s:%d at
// %d"), stamps LdapSection::dn_cache_loaded with now and gives 1.
int dn_cache_sync_response(const char* server, int port, int status, const char* last_modified,
                           const char* body, size_t size);
