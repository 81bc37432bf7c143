#include "auth/ldap.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>

#include <openssl/crypto.h>

#include "auth/dn_cache.h"
#include "auth/password_crypt.h"
#include "config/configfile.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/http_client.h"
#include "http/url.h"
#include "iface/interface.h"
#include "net/connection.h"

LdapSection* ldap_section = nullptr;
LdapPool* ldappool = nullptr;
pthread_rwlock_t ldap_lock = PTHREAD_RWLOCK_INITIALIZER;

// Seconds to wait for a directory server to accept a connection, and for
// the answer to any one operation, so that a dead or stalled server cannot
// hold a request thread (or the timer job) for ever.
static const int LDAP_NETWORK_TIMEOUT = 10;
static const int LDAP_OPERATION_TIMEOUT = 60;

// Texts of a configuration password: the clear password has at most 511
// characters, so its encrypted text at most 1364.
static const int CLEAR_PASSWORD_SIZE = 512;

static const char* const not_found_dn = "NOT-FOUND";

// ---- Server entries and the section -----------------------------------------

LdapAuth::LdapAuth(const Item& item)
    : enabled(item.fields[0].value),
      comment(item.fields[1].text),
      proxy_host(item.fields[2].text),
      server(item.fields[3].text),
      port(item.fields[4].value),
      method(item.fields[5].value),
      bind_type(item.fields[6].value < 0 ? 0 : item.fields[6].value),
      size_limit(item.fields[7].value),
      reserved(item.fields[8].text),
      bind_dn(item.fields[9].text),
      bind_password(item.fields[10].text),
      base(item.fields[11].text),
      user_attribute(item.fields[12].text),
      group_attribute(item.fields[13].text) {}

LdapSection::LdapSection() : Section("ldap", SECTION_RWLOCK), host_key{} {
    enabled = &global_field(0, FIELD_BOOL).value;
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING, FIELD_STRING, FIELD_INT,
                      FIELD_STRING_SELECT_ONE, FIELD_STRING_SELECT_ONE, FIELD_INT, FIELD_STRING,
                      FIELD_STRING, FIELD_STRING, FIELD_STRING, FIELD_STRING, FIELD_STRING});
    dn_cache_loaded = time(nullptr);
    // Without RC4 only binds with an encrypted service-account password
    // fail, each with its own message; the proxy serves all the rest.
    password_crypt_init();
    if (ldappool == nullptr)
        ldappool = new LdapPool();
    hooks.Add(ldap_configure, HOOK_CONFIGURE);
}

void LdapSection::update() {
    servers.clear();
    set_our_key();
    if (subsections.empty())
        return;
    for (const Item& item : subsections[0].items)
        servers.emplace_back(item);
}

bool LdapSection::is_ldap_enabled() const {
    read_lock();
    bool on = *enabled != 0;
    unlock();
    return on;
}

int LdapSection::get_our_key(unsigned char* out) {
    pthread_rwlock_rdlock(&ldap_lock);
    size_t length = strnlen(host_key, sizeof host_key - 1);
    memcpy(out, host_key, length);
    pthread_rwlock_unlock(&ldap_lock);
    return static_cast<int>(length);
}

void LdapSection::set_our_key() {
    char key[sizeof host_key];
    password_host_key(key, sizeof key);
    pthread_rwlock_wrlock(&ldap_lock);
    memcpy(host_key, key, sizeof host_key);
    pthread_rwlock_unlock(&ldap_lock);
}

// The clear text of an encrypted configuration password into `clear`
// (CLEAR_PASSWORD_SIZE bytes, terminated); false when it cannot be read.
static bool configuration_password(LdapSection* section, const std::string& text, char* clear) {
    unsigned char key[sizeof section->host_key] = {0};
    unsigned char iv[32] = "wxjq";
    memset(clear, 0, CLEAR_PASSWORD_SIZE);
    section->get_our_key(key);
    int length = static_cast<int>(text.size());
    int produced = -1;
    if (length / 2 * 3 / 4 < CLEAR_PASSWORD_SIZE)
        produced = kestrivan_deprivatise(reinterpret_cast<const unsigned char*>(text.c_str()), key,
                                         iv, reinterpret_cast<unsigned char*>(clear), length);
    OPENSSL_cleanse(key, sizeof key);
    if (produced <= 0 && password_crypt_init() == 0) {
        putlog(LOG_ERROR, "ldap: the bind password cannot be decrypted: %s",
               PASSWORD_CRYPT_UNAVAILABLE);
        return false;
    }
    if (produced <= 0) {
        putlog(LOG_ERROR, "security: failed to extract ldap password from privatised string [%s]",
               text.c_str());
        return false;
    }
    clear[produced] = '\0';
    return true;
}

static void unbind(LDAP* handle) {
    if (handle != nullptr)
        ldap_unbind_ext_s(handle, nullptr, nullptr);
}

static std::string server_uri(const LdapAuth& entry) {
    std::string host = entry.server;
    if (host.find(':') != std::string::npos && host[0] != '[')
        host = "[" + host + "]";
    return std::string(entry.method == LDAP_METHOD_SSL ? "ldaps://" : "ldap://") + host + ":" +
           std::to_string(entry.port) + "/";
}

// Gives the connection a TLS context of its own that demands a valid server
// certificate. A connection's TLS settings start empty (it would share the
// library's context), so the trusted certificates configured for the
// library (ldap.conf, LDAPTLS_CACERT, LDAPTLS_CACERTDIR) are copied over.
static bool tls_checked_context(LDAP* handle) {
    static const int locations[] = {LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR};
    for (int option : locations) {
        char* path = nullptr;
        if (ldap_get_option(nullptr, option, &path) == LDAP_OPT_SUCCESS && path != nullptr) {
            int set = ldap_set_option(handle, option, path);
            ldap_memfree(path);
            if (set != LDAP_OPT_SUCCESS)
                return false;
        }
    }
    int demand = LDAP_OPT_X_TLS_DEMAND, fresh = 0;
    return ldap_set_option(handle, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
           ldap_set_option(handle, LDAP_OPT_X_TLS_NEWCTX, &fresh) == LDAP_OPT_SUCCESS;
}

int LdapSection::do_auth_ldap(LDAP* handle, const char* dn, const char* password, int bind_type) {
    if (bind_type >= LDAP_BIND_ANONYMOUS || dn == nullptr) {
        dn = "";
        password = "";
    }
    struct berval credentials;
    credentials.bv_val = const_cast<char*>(password != nullptr ? password : "");
    credentials.bv_len = strlen(credentials.bv_val);
    return ldap_sasl_bind_s(handle, dn, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
}

// Connects to one server entry and binds its service account (the caller
// holds the section's read lock). NULL after logging why.
LDAP* LdapSection::connect_entry(const LdapAuth& entry) {
    const char* server = entry.server.c_str();
    char password[CLEAR_PASSWORD_SIZE] = {0};
    const char* dn = nullptr;
    if (!entry.bind_dn.empty()) {
        if (!configuration_password(this, entry.bind_password, password))
            return nullptr;
        dn = entry.bind_dn.c_str();
    }

    LDAP* handle = nullptr;
    if (entry.method != LDAP_METHOD_PLAIN && entry.method != LDAP_METHOD_SSL)
        return nullptr;
    if (ldap_initialize(&handle, server_uri(entry).c_str()) != LDAP_SUCCESS || handle == nullptr) {
        if (entry.method == LDAP_METHOD_PLAIN)
            putlog(LOG_ERROR, "[LDAP] ldap: init failed for server %s:%d", server, entry.port);
        else
            putlog(LOG_ERROR, "[LDAP] ssl init failed for server %s:%d", server, entry.port);
        OPENSSL_cleanse(password, sizeof password);
        return nullptr;
    }

    int code = LDAP_SUCCESS;
    int version = LDAP_VERSION3;
    struct timeval network = {LDAP_NETWORK_TIMEOUT, 0};
    struct timeval operation = {LDAP_OPERATION_TIMEOUT, 0};
    if ((code = ldap_set_option(handle, LDAP_OPT_PROTOCOL_VERSION, &version)) != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] incompatible version, server %s:%d", code,
               ldap_err2string(code), server, entry.port);
    } else if ((code = ldap_set_option(handle, LDAP_OPT_NETWORK_TIMEOUT, &network)) !=
                   LDAP_OPT_SUCCESS ||
               (code = ldap_set_option(handle, LDAP_OPT_TIMEOUT, &operation)) != LDAP_OPT_SUCCESS ||
               (code = ldap_set_option(handle, LDAP_OPT_REFERRALS, LDAP_OPT_OFF)) !=
                   LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] cannot set time-outs, server %s:%d", code,
               ldap_err2string(code), server, entry.port);
    } else if (entry.method == LDAP_METHOD_SSL) {
        // The certificate is always checked, whatever ldap.conf says: an
        // unchecked TLS connection is no better than clear text.
        if (!tls_checked_context(handle)) {
            putlog(LOG_ERROR, "[LDAP] ssl init failed for server %s:%d", server, entry.port);
            code = LDAP_LOCAL_ERROR;
        }
    }
    if (code != LDAP_SUCCESS) {
        unbind(handle);
        OPENSSL_cleanse(password, sizeof password);
        return nullptr;
    }

    int size_limit = entry.size_limit;
    int supported = 0;
    if (ldap_get_option(handle, LDAP_OPT_SIZELIMIT, &supported) == LDAP_OPT_SUCCESS &&
        supported < entry.size_limit) {
        putlog(LOG_ADVICE, "[LDAP: max record query limit] supported: %d, server %s:%d", supported,
               server, entry.port);
        if (supported > 0)
            size_limit = supported;
    }
    ldap_set_option(handle, LDAP_OPT_SIZELIMIT, &size_limit);
    int time_limit = CLIENT_POOL_TIMEOUT;
    if ((code = ldap_set_option(handle, LDAP_OPT_TIMELIMIT, &time_limit)) != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] incompatible timelimit, server %s:%d", code,
               ldap_err2string(code), server, entry.port);
        unbind(handle);
        OPENSSL_cleanse(password, sizeof password);
        return nullptr;
    }

    code = do_auth_ldap(handle, dn, password, entry.bind_type);
    OPENSSL_cleanse(password, sizeof password);
    if (code != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s]  server %s:%d", code, ldap_err2string(code), server,
               entry.port);
        unbind(handle);
        return nullptr;
    }
    return handle;
}

LDAP* LdapSection::get_ld(LdapTarget& target, int use) {
    read_lock();
    if (*enabled == 0) {
        unlock();
        return nullptr;
    }
    LDAP* handle = ldappool != nullptr ? ldappool->Find(target, use) : nullptr;
    for (auto entry = servers.begin(); handle == nullptr && entry != servers.end(); ++entry) {
        if (entry->enabled == 0)
            continue;
        if (!entry->proxy_host.empty() && strncmp(entry->proxy_host.c_str(), proxyhost, 127) != 0)
            continue;
        if (entry->server.empty() || entry->base.empty() || entry->user_attribute.empty() ||
            entry->port <= 0)
            continue;
        handle = connect_entry(*entry);
        if (handle != nullptr)
            target = {entry->base, entry->user_attribute, entry->group_attribute};
    }
    unlock();
    return handle;
}

void LdapSection::interface_page_sendldap(Filebuf* buffer) {
    dn_cache_document_write(buffer);
}

// ---- Password checks ------------------------------------------------------------

// Codes after which the connection itself is gone or unusable.
static bool connection_lost(int code) {
    return code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_TIMEOUT;
}

int LdapSection::do_auth_ldap(const char* dn, const char* password, const char* client_ip) {
    if (client_ip == nullptr)
        client_ip = "";
    if (dn == nullptr || dn[0] == '\0')
        return 1;
    // An empty password would be an unauthenticated bind, which servers
    // accept without checking anything: it is a wrong password.
    if (password == nullptr || password[0] == '\0') {
        putlog(LOG_SECURITY, "[IP:%s] [LDAP:%d:%s] warn: authentication failed [%s]", client_ip,
               LDAP_INVALID_CREDENTIALS, ldap_err2string(LDAP_INVALID_CREDENTIALS), dn);
        return -1;
    }

    LdapTarget target;
    LDAP* handle = get_ld(target, LDAP_USE_AUTH);
    if (handle == nullptr)
        return 1;

    int time_limit = CLIENT_POOL_TIMEOUT, size_limit = 1;
    int code = ldap_set_option(handle, LDAP_OPT_TIMELIMIT, &time_limit);
    if (code != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[IP:%s] [LDAP:%d:%s] failed to set response timelimit", client_ip, code,
               ldap_err2string(code));
        unbind(handle);
        return 1;
    }
    if ((code = ldap_set_option(handle, LDAP_OPT_SIZELIMIT, &size_limit)) != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[IP: %s] [LDAP:%d:%s] failed to set sizelimit", client_ip, code,
               ldap_err2string(code));
        unbind(handle);
        return 1;
    }

    code = do_auth_ldap(handle, dn, password, 0);
    int result = 1;
    if (code == LDAP_SUCCESS) {
        result = 0;
    } else if (code == LDAP_INVALID_CREDENTIALS) {
        putlog(LOG_SECURITY, "[IP:%s] [LDAP:%d:%s] warn: authentication failed [%s]", client_ip,
               code, ldap_err2string(code), dn);
        result = -1;
    } else if (connection_lost(code)) {
        unbind(handle);
        putlog(LOG_SECURITY, "[IP:%s] [LDAP:%d:%s] warn: failed to bind DN [%s]", client_ip, code,
               ldap_err2string(code), dn);
        return 1;
    }
    ldappool->Add(handle, target, LDAP_USE_AUTH);
    return result;
}

int set_connection_dn(const char* user, const char* client_ip, StringList& dn_parts,
                      StringList& user_groups) {
    dn_parts.clear();
    user_groups.clear();
    if (ldap_section == nullptr || !ldap_section->is_ldap_enabled() || user == nullptr ||
        user[0] == '\0')
        return -1;
    std::string dn, groups;
    if (check_dn_cache(user, dn, groups) != 0) {
        putlog(LOG_SECURITY, "ldap: [IP: %s] DN not found for user %s",
               client_ip != nullptr ? client_ip : "", user);
        return -1;
    }
    dn_parts.parse(dn, ',');
    user_groups.parse(dn, ',');
    user_groups.parse(groups, ',');
    return static_cast<int>(user_groups.size());
}

int auth_ldap(const StringList& dn_parts, const char* password, const char* client_ip) {
    if (ldap_section == nullptr || !ldap_section->is_ldap_enabled())
        return 1;
    // The whole DN, however long: a cut DN would turn a right password
    // into a refusal that gets cached.
    std::string dn;
    bool first = true;
    for (const std::string& part : dn_parts) {
        if (!first)
            dn += ',';
        dn += part;
        first = false;
    }
    return ldap_section->do_auth_ldap(dn.c_str(), password, client_ip);
}

int set_connection_dn(const char* user, CONNECTION_T* connection) {
    return set_connection_dn(user, connection->client_ip, connection->dn_parts,
                             connection->user_groups);
}

int auth_ldap(const char*, const char* password, CONNECTION_T* connection) {
    return auth_ldap(connection->dn_parts, password, connection->client_ip);
}

// ---- Directory searches -----------------------------------------------------------

std::string ldap_filter_escape(const std::string& value) {
    static const char hex[] = "0123456789abcdef";
    std::string escaped;
    for (unsigned char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            escaped += '\\';
            escaped += hex[c >> 4];
            escaped += hex[c & 15];
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped;
}

// Every value of the attribute joined by ",", empty without one.
static std::string attribute_joined(LDAP* handle, LDAPMessage* entry, const std::string& attribute) {
    std::string joined;
    if (attribute.empty())
        return joined;
    struct berval** values = ldap_get_values_len(handle, entry, attribute.c_str());
    for (int i = 0; values != nullptr && values[i] != nullptr; i++) {
        if (i > 0)
            joined += ',';
        joined.append(values[i]->bv_val, values[i]->bv_len);
    }
    ldap_value_free_len(values);
    return joined;
}

// Whether the entry's attribute holds `name` (ignoring case), or, with a
// NULL name, its last value into `last`.
static bool attribute_value(LDAP* handle, LDAPMessage* entry, const char* attribute,
                            const char* name, std::string& last) {
    struct berval** values = ldap_get_values_len(handle, entry, attribute);
    bool found = false;
    for (int i = 0; values != nullptr && values[i] != nullptr; i++) {
        std::string value(values[i]->bv_val, values[i]->bv_len);
        if (name == nullptr) {
            last = value;
            found = true;
        } else if (strcasecmp(value.c_str(), name) == 0) {
            found = true;
        }
    }
    ldap_value_free_len(values);
    return found;
}

static std::string entry_dn(LDAP* handle, LDAPMessage* entry) {
    std::string text;
    char* dn = ldap_get_dn(handle, entry);
    if (dn != nullptr)
        text = dn;
    ldap_memfree(dn);
    return text;
}

static int search_subtree(LDAP* handle, const char* base, const std::string& filter,
                          LDAPMessage** result) {
    int size_limit = 0;
    ldap_get_option(handle, LDAP_OPT_SIZELIMIT, &size_limit);
    *result = nullptr;
    return ldap_search_ext_s(handle, base, LDAP_SCOPE_SUBTREE, filter.c_str(), nullptr, 0, nullptr,
                             nullptr, nullptr, size_limit, result);
}

int getdnfor_authentication(LDAP* handle, const char* name, const char* user_attribute,
                            const char* group_attribute, const char* base) {
    if (user_attribute == nullptr || user_attribute[0] == '\0')
        return 1;
    if (handle == nullptr) {
        putlog(LOG_ADVICE, "Ldap Server Down, cannot authenticate %s", name != nullptr ? name : "");
        return 1;
    }
    std::string filter = std::string("(&(objectclass=person)(") + user_attribute + "=*))";
    LDAPMessage* result = nullptr;
    int code = search_subtree(handle, base, filter, &result);
    if (code != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s]", code, ldap_err2string(code), filter.c_str());
        // A size or time limit still returns the entries found so far; a
        // lost connection returns nothing to go on with.
        if (connection_lost(code) || result == nullptr) {
            ldap_msgfree(result);
            return 1;
        }
    }

    int refreshed = 0;
    std::string groups_attribute = group_attribute != nullptr ? group_attribute : "";
    for (LDAPMessage* entry = ldap_first_entry(handle, result); entry != nullptr;
         entry = ldap_next_entry(handle, entry)) {
        std::string user;
        if (!attribute_value(handle, entry, user_attribute, nullptr, user) || user.empty())
            continue;
        std::string dn = entry_dn(handle, entry);
        std::string groups = attribute_joined(handle, entry, groups_attribute);
        update_dn_cache(user.c_str(), dn.c_str(), groups.c_str());
        refreshed++;
    }
    putlog(LOG_ADVICE, "ldap: cache: entries returned [%d] refreshed [%d]",
           ldap_count_entries(handle, result), refreshed);
    ldap_msgfree(result);

    // The cache now holds the directory: it counts as loaded, so the timer
    // searches again only once it has aged.
    if (ldap_section != nullptr) {
        pthread_mutex_lock(&documentlock);
        ldap_section->dn_cache_loaded = time(nullptr);
        pthread_mutex_unlock(&documentlock);
    }
    return 0;
}

int LdapSection::re_check_dn_cache(const char* user, std::string& dn, std::string& groups) {
    if (!is_ldap_enabled() || user == nullptr)
        return -1;
    LdapTarget target;
    LDAP* handle = get_ld(target, LDAP_USE_LOAD);
    if (handle == nullptr)
        return -1;
    dn = not_found_dn;
    groups.clear();

    std::string filter = "(&(objectclass=person)(" + target.user_attribute + "=" +
                         ldap_filter_escape(user) + "))";
    LDAPMessage* result = nullptr;
    int code = search_subtree(handle, target.base.c_str(), filter, &result);
    if (code != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s]", code, ldap_err2string(code), filter.c_str());
        ldap_msgfree(result);
        if (connection_lost(code))
            unbind(handle);
        else
            ldappool->Add(handle, target, LDAP_USE_LOAD);
        return -1;
    }

    // Only an entry whose user attribute really is the name is taken: the
    // server's matching rules may return others.
    LDAPMessage* match = nullptr;
    std::string unused;
    for (LDAPMessage* entry = ldap_first_entry(handle, result); entry != nullptr && match == nullptr;
         entry = ldap_next_entry(handle, entry))
        if (attribute_value(handle, entry, target.user_attribute.c_str(), user, unused))
            match = entry;
    if (match == nullptr) {
        int count = ldap_count_entries(handle, result);
        if (count < 0)
            putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s], unexpected result count [%d]", 0,
                   ldap_err2string(0), filter.c_str(), count);
        else
            putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s], user %s not found", 0, ldap_err2string(0),
                   filter.c_str(), user);
        unbind(handle);
        ldap_msgfree(result);
        return 0;
    }

    groups = attribute_joined(handle, match, target.group_attribute);
    dn = entry_dn(handle, match);
    update_dn_cache(user, dn.c_str(), groups.c_str());
    ldap_msgfree(result);
    ldappool->Add(handle, target, LDAP_USE_LOAD);
    return 0;
}

// ---- Loading the DN cache --------------------------------------------------------

int LdapSection::ldap_init_routine() {
    if (!is_ldap_enabled())
        return -1;
    if (ldap_sync() > 0)
        return 1;
    LdapTarget target;
    LDAP* handle = get_ld(target, LDAP_USE_LOAD);
    if (handle == nullptr)
        return -1;
    if (getdnfor_authentication(handle, "", target.user_attribute.c_str(),
                                target.group_attribute.c_str(), target.base.c_str()) == 1) {
        unbind(handle);
        return 0;
    }
    ldappool->Add(handle, target, LDAP_USE_LOAD);
    return -1;
}

// Overwrites a text that held a password before it is freed.
static void text_cleanse(std::string& text) {
    if (!text.empty())
        OPENSSL_cleanse(&text[0], text.size());
}

int LdapSection::ldap_sync() {
    putlog(LOG_ADVICE, "debug: ldap: checking if we must sync with proxy server");
    read_lock();
    std::string address, server, user, password;
    int port = 0, number = 0;
    bool chosen = false;
    for (auto entry = servers.begin(); !chosen && entry != servers.end(); ++entry) {
        number++;
        if (entry->enabled == 0)
            continue;
        if (entry->bind_type == 0) {
            putlog(LOG_ADVICE, "debug: ldap: entry:%d ldapmethod:%d ", number, 0);
            continue;
        }
        if (entry->server.empty() || entry->port <= 0)
            continue;
        if (proxyhost[0] != '\0' && !entry->proxy_host.empty() &&
            strncmp(proxyhost, entry->proxy_host.c_str(), 127) != 0)
            continue;
        if (!entry->bind_dn.empty()) {
            if (entry->bind_password.empty()) {
                putlog(LOG_ERROR, "ldap: ldap user name is specified, but no password specified");
                continue;
            }
            char clear[CLEAR_PASSWORD_SIZE];
            if (!configuration_password(this, entry->bind_password, clear))
                continue;
            // Only the part of the bind DN before its first "@" is the user.
            user = dn_cache_userinfo_encode(entry->bind_dn.substr(0, entry->bind_dn.find('@')));
            password = dn_cache_userinfo_encode(clear);
            OPENSSL_cleanse(clear, sizeof clear);
        }
        server = entry->server;
        port = entry->port;
        std::string host = server.find(':') != std::string::npos ? "[" + server + "]" : server;
        address = "http://" + host + ":" + std::to_string(port) + "/" INTERFACE_HOSTNAME "/ldapcache";
        chosen = true;
    }
    unlock();
    if (!chosen)
        return -1;

    // The credentials go into the record itself, never through the URL
    // text, so no character of a password can change where the URL points.
    URL* url = url_parse(address.c_str());
    if (url == nullptr) {
        putlog(LOG_ERROR, "Ldap: cannot make a URL for %s:%d", server.c_str(), port);
        text_cleanse(password);
        return -1;
    }
    if (!user.empty()) {
        free(url->user);
        free(url->password);
        url->user = xstrdup(user.c_str());
        url->password = xstrdup(password.c_str());
        text_cleanse(password);
    }

    putlog(LOG_ADVICE, "debug: ldap: syncing with proxy server");
    HTTPRESPONSE* response = http_fetch(url, nullptr);
    if (url->password != nullptr)
        OPENSSL_cleanse(url->password, strlen(url->password));
    url_free(url);
    if (response == nullptr) {
        putlog(LOG_ERROR, "Ldap: No Response from %s:%d", server.c_str(), port);
        return -1;
    }
    const Filebuf* body = response->body;
    int result = dn_cache_sync_response(server.c_str(), port, response->header->status,
                                        response->header->last_modified, body->data, body->size);
    httpresponse_free(response);
    return result;
}

void ldap_configure(void*) {
    if (ldap_section == nullptr || !ldap_section->is_ldap_enabled())
        return;
    if (ldappool != nullptr)
        ldappool->Clean();
    pthread_mutex_lock(&documentlock);
    bool aged = time(nullptr) - ldap_section->dn_cache_loaded >= password_cachexpire;
    pthread_mutex_unlock(&documentlock);
    if (aged)
        ldap_section->ldap_init_routine();
}

int ldap_configure(void*, void*) {
    if (ldappool == nullptr)
        ldappool = new LdapPool();
    if (ldap_section != nullptr && ldap_section->is_ldap_enabled())
        ldap_section->ldap_init_routine();
    return 0;
}

// ---- The pool -----------------------------------------------------------------------

static size_t pool_capacity() {
    return MAXTHREADS / 20 > 1 ? static_cast<size_t>(MAXTHREADS / 20) : 1;
}

static void pool_entry_free(ldappool_t* entry) {
    unbind(entry->handle);
    delete entry;
}

LdapPool::LdapPool() {
    pthread_mutex_init(&mutex, nullptr);
}

LdapPool::~LdapPool() {
    Clean();
    pthread_mutex_lock(&mutex);
    for (ldappool_t* entry : list)
        pool_entry_free(entry);
    list.clear();
    pthread_mutex_unlock(&mutex);
    pthread_mutex_destroy(&mutex);
}

void LdapPool::Add(LDAP* handle, const LdapTarget& target, int use) {
    auto* entry = new ldappool_t{handle, time(nullptr), target, use};
    pthread_mutex_lock(&mutex);
    ldappool_t* evicted = nullptr;
    if (list.size() >= pool_capacity()) {
        evicted = list.front();
        list.pop_front();
    }
    list.push_back(entry);
    pthread_mutex_unlock(&mutex);
    if (evicted != nullptr)
        pool_entry_free(evicted);
}

LDAP* LdapPool::Find(LdapTarget& target, int use) {
    pthread_mutex_lock(&mutex);
    size_t size = list.size();
    ldappool_t* found = nullptr;
    for (auto entry = list.begin(); entry != list.end(); ++entry)
        if ((*entry)->handle != nullptr && (*entry)->use >= use) {
            found = *entry;
            list.erase(entry);
            break;
        }
    pthread_mutex_unlock(&mutex);
    if (size == 0)
        return nullptr;
    putlog(LOG_ADVICE, "ldap: pool size: %d", static_cast<int>(size));
    if (found == nullptr)
        return nullptr;
    LDAP* handle = found->handle;
    target = found->target;
    delete found;
    return handle;
}

void LdapPool::CleanUnlocked() {
    time_t now = time(nullptr);
    size_t before = list.size(), position = 0, removed = 0;
    size_t capacity = pool_capacity();
    for (auto entry = list.begin(); entry != list.end(); position++) {
        if (now >= (*entry)->added + CLIENT_POOL_TIMEOUT || position > capacity) {
            pool_entry_free(*entry);
            entry = list.erase(entry);
            removed++;
        } else {
            ++entry;
        }
    }
    if (before > 0)
        putlog(LOG_NETWORK, "ldap: deleted %d out of % d connections", static_cast<int>(removed),
               static_cast<int>(before));
}

void LdapPool::Clean() {
    pthread_mutex_lock(&mutex);
    CleanUnlocked();
    pthread_mutex_unlock(&mutex);
}

size_t LdapPool::Size() {
    pthread_mutex_lock(&mutex);
    size_t size = list.size();
    pthread_mutex_unlock(&mutex);
    return size;
}
