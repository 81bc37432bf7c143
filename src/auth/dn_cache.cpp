#include "auth/dn_cache.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "auth/ldap.h"
#include "config/configfile.h"
#include "config/sync.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"

static const char source[] = "src/dn_cache";

// Last-Modified time of the "/ldapcache" document loaded last (0: none yet),
// in the serving instance's own clock; guarded by documentlock.
static time_t dn_cache_synced_stamp = 0;

DN_CACHE_TABLE* dn_cache_create(unsigned n) {
    if (n < 1)
        FATAL(source);
    auto* table = static_cast<DN_CACHE_TABLE*>(xmalloc(sizeof(DN_CACHE_TABLE)));
    if (table == nullptr)
        FATAL_ALLOC(source, sizeof(DN_CACHE_TABLE));
    size_t heads = static_cast<size_t>(n) * sizeof(DN_CACHE_ENTRY*);
    table->table = static_cast<DN_CACHE_ENTRY**>(xmalloc(heads));
    if (table->table == nullptr)
        FATAL_ALLOC(source, heads);
    table->n = n;
    return table;
}

unsigned dn_cache_key(unsigned n, const char* user) {
    uint32_t sum = 0;
    for (const char* p = user; *p != '\0'; p++) {
        int c = static_cast<signed char>(*p);
        if (c >= 0)
            c = toupper(c);
        sum += static_cast<uint32_t>(20 * c + (c >> 4) + (c >> 2) + 8111);
    }
    return sum % n;
}

static void entry_check(const DN_CACHE_ENTRY* entry) {
    if (entry->user == nullptr || entry->dn == nullptr || entry->groups == nullptr)
        FATAL(source);
}

DN_CACHE_ENTRY* dn_cache_search(DN_CACHE_TABLE* table, const char* user) {
    if (table == nullptr)
        FATAL(source);
    if (user == nullptr)
        return nullptr;
    for (DN_CACHE_ENTRY* e = table->table[dn_cache_key(table->n, user)]; e != nullptr; e = e->next) {
        entry_check(e);
        if (strcasecmp(e->user, user) == 0)
            return e;
    }
    return nullptr;
}

DN_CACHE_ENTRY* dn_cache_insert(DN_CACHE_TABLE* table, const char* user, const char* dn,
                                const char* groups) {
    if (table == nullptr)
        FATAL(source);
    if (user == nullptr)
        return nullptr;
    auto* entry = static_cast<DN_CACHE_ENTRY*>(xmalloc(sizeof(DN_CACHE_ENTRY)));
    if (entry == nullptr)
        FATAL_ALLOC(source, sizeof(DN_CACHE_ENTRY));
    entry->stamp = time(nullptr);
    entry->user = xstrdup(user);
    entry->dn = xstrdup(dn != nullptr ? dn : "");
    entry->groups = xstrdup(groups != nullptr ? groups : "");
    DN_CACHE_ENTRY** link = &table->table[dn_cache_key(table->n, user)];
    while (*link != nullptr)
        link = &(*link)->next;
    *link = entry;
    return entry;
}

void dn_cache_purge(DN_CACHE_TABLE* table, const char* user) {
    if (table == nullptr)
        FATAL(source);
    if (user == nullptr)
        return;
    for (DN_CACHE_ENTRY** link = &table->table[dn_cache_key(table->n, user)]; *link != nullptr;
         link = &(*link)->next) {
        DN_CACHE_ENTRY* entry = *link;
        entry_check(entry);
        if (strcasecmp(entry->user, user) == 0) {
            *link = entry->next;
            free(entry->user);
            free(entry->dn);
            free(entry->groups);
            free(entry);
            return;
        }
    }
}

void update_dn_cache(const char* user, const char* dn, const char* groups) {
    if (global == nullptr || global->dn_cache == nullptr || user == nullptr)
        return;
    pthread_rwlock_wrlock(&global->dn_cache_lock);
    dn_cache_purge(global->dn_cache, user);
    dn_cache_insert(global->dn_cache, user, dn, groups);
    pthread_rwlock_unlock(&global->dn_cache_lock);
}

int check_dn_cache(const char* user, std::string& dn, std::string& groups) {
    if (global != nullptr && global->dn_cache != nullptr && user != nullptr) {
        pthread_rwlock_rdlock(&global->dn_cache_lock);
        DN_CACHE_ENTRY* entry = dn_cache_search(global->dn_cache, user);
        if (entry != nullptr) {
            dn = entry->dn;
            groups = entry->groups;
        }
        pthread_rwlock_unlock(&global->dn_cache_lock);
        if (entry != nullptr)
            return 0;
    }
    // The lock is released before the directory is asked.
    if (ldap_section == nullptr || user == nullptr)
        return -1;
    return ldap_section->re_check_dn_cache(user, dn, groups);
}

void dn_cache_document_write(Filebuf* buffer) {
    if (global == nullptr || global->dn_cache == nullptr)
        return;
    pthread_rwlock_rdlock(&global->dn_cache_lock);
    DN_CACHE_TABLE* table = global->dn_cache;
    for (unsigned chain = 0; chain < table->n; chain++)
        for (DN_CACHE_ENTRY* e = table->table[chain]; e != nullptr; e = e->next) {
            entry_check(e);
            if (e->groups[0] != '\0')
                buffer->Addf("%s\t%s\t%s\n", e->user, e->dn, e->groups);
            else
                buffer->Addf("%s\t%s\n", e->user, e->dn);
        }
    pthread_rwlock_unlock(&global->dn_cache_lock);
}

int dn_cache_document_load(const char* body, size_t size) {
    int loaded = 0;
    const char* end = body + size;
    for (const char* line = body; line < end;) {
        const char* line_end = static_cast<const char*>(memchr(line, '\n', end - line));
        if (line_end == nullptr)
            line_end = end;
        std::string fields[3];
        int count = 0;
        for (const char* field = line; field < line_end;) {
            const char* field_end = static_cast<const char*>(memchr(field, '\t', line_end - field));
            if (field_end == nullptr)
                field_end = line_end;
            if (field_end > field) {
                if (count < 3)
                    fields[count].assign(field, field_end);
                count++;
            }
            field = field_end + 1;
        }
        if (count == 2 || count == 3) {
            update_dn_cache(fields[0].c_str(), fields[1].c_str(), fields[2].c_str());
            loaded++;
        }
        line = line_end + 1;
    }
    return loaded;
}

std::string dn_cache_userinfo_encode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int dn_cache_sync_response(const char* server, int port, int status, const char* last_modified,
                           const char* body, size_t size) {
    if (status != 200) {
        putlog(LOG_ERROR, "Ldap: %s:%d responded with %d", server, port, status);
        return -1;
    }
    // The other instance writes its stamp in universal time, as "/xml"
    // does, so instances in different time zones compare it rightly.
    time_t remote = 0;
    if (last_modified != nullptr) {
        time_t parsed = sync_time_parse(last_modified);
        if (parsed != -1)
            remote = parsed;
    }
    if (last_modified == nullptr)
        putlog(LOG_ERROR, "Ldap: Cannot estimate last configuration update of %s", server);

    // The other instance stamps its document when its own cache changes
    // (its search or its sync), so a document whose stamp did not move
    // since the one loaded last holds nothing new.
    pthread_mutex_lock(&documentlock);
    bool wanted = remote <= 0 || remote > dn_cache_synced_stamp;
    if (wanted && remote > 0)
        dn_cache_synced_stamp = remote;
    time_t loaded_at = ldap_section != nullptr ? ldap_section->dn_cache_loaded : 0;
    pthread_mutex_unlock(&documentlock);

    if (wanted) {
        int entries = dn_cache_document_load(body != nullptr ? body : "", body != nullptr ? size : 0);
        putlog(LOG_ADVICE, "ldap: sync: loaded [%d] entries from %s:%d", entries, server, port);
    } else {
        putlog(LOG_DEBUG, "Ldap: already syncronized with %s:%d at %d", server, port,
               static_cast<int>(loaded_at));
    }

    pthread_mutex_lock(&documentlock);
    if (ldap_section != nullptr)
        ldap_section->dn_cache_loaded = time(nullptr);
    pthread_mutex_unlock(&documentlock);
    return 1;
}
