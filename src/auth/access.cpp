#include "auth/access.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "auth/ldap.h"
#include "auth/password_cache.h"
#include "auth/profiles.h"
#include "core/atom.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/regexp.h"
#include "http/header.h"
#include "http/protocol.h"
#include "iface/stats.h"
#include "net/connection.h"

AccessSection* access_section = nullptr;

namespace {

// Field positions of a rule entry.
enum {
    A_ENABLED, A_COMMENT, A_LOG, A_LDAP_NAMES, A_INTERFACES, A_ADDRESSES, A_AUTHENTICATE,
    A_USER, A_PASSWORD, A_ACCESS, A_BYPASS, A_INTERFACE_USER, A_INTERFACE_PASSWORD,
    A_PROFILES,
};

// Global field positions.
enum { G_ALLOW_FIRST, G_NTLM, G_TRUSTED_PROXIES };

// Most characters of "name@address" kept in CONNECTION_T::user.
const size_t CONNECTION_USER_MAX = 511;

// Most characters of the address part of an "interfaces" item: a dotted
// IPv4 address. A longer part names no listener.
const size_t INTERFACE_ADDRESS_MAX = 15;

// Copy of a name for the error log: control characters are written as \xHH
// so that a name taken from a request cannot forge log lines.
std::string loggable(const char* text) {
    std::string out;
    if (text == NULL)
        return out;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; c++) {
        if (*c < 0x20 || *c == 0x7F) {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02X", *c);
            out += escaped;
        } else {
            out += static_cast<char>(*c);
        }
    }
    return out;
}

Stats* stats_share(Stats* stats) {
    stats->New();
    return stats;
}

// CONNECTION_T::user := "<name>@<address>", cut to CONNECTION_USER_MAX.
void connection_user_set(CONNECTION_T* connection, const char* name, const char* address) {
    char text[CONNECTION_USER_MAX + 1];
    snprintf(text, sizeof text, "%s@%s", name, address != NULL ? address : "");
    free(connection->user);
    connection->user = xstrdup(text);
    if (connection->user == NULL)
        FATAL_ALLOC("src/access", static_cast<unsigned>(strlen(text) + 1));
}

// The directory names looked up for a name that was not verified must not
// scope anything of the request.
void forget_directory_names(CONNECTION_T* connection) {
    connection->dn_parts.clear();
    connection->user_groups.clear();
}

// One "interfaces" item against the listener that accepted the client.
bool interface_fits(const std::string& item, const CONNECTION_T* connection) {
    if (item == "*:*")
        return true;
    size_t colon = item.find(':');
    if (colon == std::string::npos)
        return false;
    const char* port = item.c_str() + colon + 1;
    if (*port != '*' && strtol(port, NULL, 10) != connection->port)
        return false;
    std::string address = item.substr(0, colon);
    if (address == "*")
        return true;
    if (address.size() > INTERFACE_ADDRESS_MAX)
        return false;
    return connection->interface_ip != NULL && address == connection->interface_ip;
}

bool interfaces_fit(const StringList& interfaces, const CONNECTION_T* connection) {
    if (interfaces.empty())
        return true;
    for (const std::string& item : interfaces)
        if (interface_fits(item, connection))
            return true;
    return false;
}

bool negates_a_name(const StringList& names) {
    for (const std::string& name : names)
        if (!name.empty() && name[0] == '!')
            return true;
    return false;
}

} // namespace

// ---- Access -----------------------------------------------------------------

Access::Access()
    : enabled(1), log(0), authenticate(0), access(0xFFFFFFFFu), bypass(0), user_regex(NULL),
      stats(userstats_init()) {}

Access::Access(const Item& item)
    : enabled(item.fields[A_ENABLED].value),
      comment(item.fields[A_COMMENT].text),
      log(item.fields[A_LOG].value),
      ldap_names(item.fields[A_LDAP_NAMES].list),
      interfaces(item.fields[A_INTERFACES].list),
      addresses(item.fields[A_ADDRESSES].iplist),
      authenticate(item.fields[A_AUTHENTICATE].value),
      user(item.fields[A_USER].text),
      password(item.fields[A_PASSWORD].text),
      access(static_cast<unsigned>(item.fields[A_ACCESS].value)),
      bypass(static_cast<unsigned>(item.fields[A_BYPASS].value)),
      interface_user(item.fields[A_INTERFACE_USER].text),
      interface_password(item.fields[A_INTERFACE_PASSWORD].text),
      profiles(item.fields[A_PROFILES].list),
      user_regex(NULL),
      stats(userstats_init()) {
    compile();
}

Access::Access(const Access& other)
    : enabled(other.enabled), comment(other.comment), log(other.log),
      ldap_names(other.ldap_names), interfaces(other.interfaces), addresses(other.addresses),
      authenticate(other.authenticate), user(other.user), password(other.password),
      access(other.access), bypass(other.bypass), interface_user(other.interface_user),
      interface_password(other.interface_password), profiles(other.profiles),
      user_regex(NULL), stats(stats_share(other.stats)) {
    compile();
}

Access::~Access() {
    if (user_regex != NULL)
        reg_free(user_regex);
    atom_release(stats);
}

// The user text is a pattern only for a rule that authenticates; for any
// other rule it is a literal name, which need not be a valid pattern.
void Access::compile() {
    if (authenticate && !user.empty())
        user_regex = reg_compile(user.c_str(), REGEXP_ICASE);
}

// ---- AccessSection ----------------------------------------------------------

AccessSection::AccessSection() : Section("access", SECTION_RWLOCK) {
    allow_first = &global_field(G_ALLOW_FIRST, FIELD_BOOL).value;
    ntlm_enabled = &global_field(G_NTLM, FIELD_BOOL).value;
    trusted_proxies = &global_field(G_TRUSTED_PROXIES, FIELD_IP_RANGE_LIST).iplist;
    const std::vector<int> rule_types = {
        FIELD_BOOL,        FIELD_STRING,        FIELD_BOOL,   FIELD_STRING_LIST,
        FIELD_STRING_LIST, FIELD_IP_RANGE_LIST, FIELD_BOOL,   FIELD_STRING,
        FIELD_STRING,      FIELD_STRING_SELECT_MANY,          FIELD_STRING_SELECT_MANY,
        FIELD_STRING,      FIELD_STRING,        FIELD_STRING_LIST,
    };
    subsection_at(0, rule_types);
    subsection_at(1, rule_types);
    processors.Add(access_auth, PROCESSOR_AUTH);
}

AccessSection::~AccessSection() {
    allow.clear();
    deny.clear();
}

void AccessSection::update() {
    // Refuse the entries before anything is rebuilt: an authenticating rule
    // whose pattern does not compile would otherwise admit every name.
    for (size_t list = 0; list < 2; list++)
        for (const Item& item : subsections[list].items)
            if (item.fields[A_AUTHENTICATE].value)
                item.pattern_check(A_USER);
    generation++;
    allow.clear();
    deny.clear();
    for (const Item& item : subsections[0].items)
        allow.emplace_back(item);
    for (const Item& item : subsections[1].items)
        deny.emplace_back(item);
}

std::string AccessSection::client_name(const CONNECTION_T* connection) const {
    read_lock();
    const char* address = client_address(connection);
    std::string name = address != NULL ? address : "";
    unlock();
    return name;
}

const char* AccessSection::client_address(const CONNECTION_T* connection) const {
    const char* forwarded =
        connection->request != NULL ? connection->request->x_forwarded_for : NULL;
    if (forwarded == NULL || connection->client_ip == NULL || trusted_proxies->empty())
        return connection->client_ip;
    try {
        if (trusted_proxies->has(connection->client_ip))
            return forwarded;
    } catch (const ConfigError&) {
        // A client address that is no dotted address is no trusted proxy.
    }
    return connection->client_ip;
}

bool AccessSection::rule_matches(const Access& rule, CONNECTION_T* connection,
                                 const char* user, const char* password) const {
    if (rule.enabled == 0)
        return false;
    if (!interfaces_fit(rule.interfaces, connection))
        return false;

    if (!rule.addresses.empty()) {
        bool hit = false;
        const char* address = client_address(connection);
        if (address != connection->client_ip) {
            try {
                hit = rule.addresses.has(address) == 1;
            } catch (const ConfigError&) {
                putlog(LOG_ERROR, "malformatted xforwardedfor header: %s",
                       loggable(address).c_str());
            }
        }
        if (!hit) {
            try {
                hit = rule.addresses.has(connection->client_ip) == 1;
            } catch (const ConfigError&) {
                putlog(LOG_ERROR, "malformatted connection ip: %s",
                       loggable(connection->client_ip).c_str());
                return false;
            }
        }
        if (!hit)
            return false;
    }

    if (rule.authenticate) {
        if (user == NULL)
            return true;
        // Without its compiled pattern the rule cannot tell names apart:
        // it admits none rather than every one.
        if (!rule.user.empty() && (rule.user_regex == NULL || reg_exec(rule.user_regex, user) != 0))
            return false;
        if (profile_find(connection->user_groups, rule.ldap_names))
            return true;
        // The DN parts are asked again only for a list of plain names: when
        // the list negates a name, the groups have refused the user on it,
        // and the DN parts (which lack the group names) must not undo that.
        return !negates_a_name(rule.ldap_names) &&
               profile_find(connection->dn_parts, rule.ldap_names);
    }

    if (rule.user.empty()) {
        if (user != NULL)
            return false;
    } else if (user != NULL && rule.user != user) {
        return false;
    }
    return rule.password.empty() || password == NULL || rule.password == password;
}

const Access* AccessSection::check(CONNECTION_T* connection, const char* user,
                                   const char* password) {
    auto first_match = [&](const std::list<Access>& rules) -> const Access* {
        for (const Access& rule : rules)
            if (rule_matches(rule, connection, user, password))
                return &rule;
        return NULL;
    };
    if (*allow_first) {
        const Access* chosen = first_match(allow);
        if (chosen == NULL || first_match(deny) != NULL)
            return NULL;
        return chosen;
    }
    if (first_match(deny) == NULL)
        return &default_rule;
    return first_match(allow);
}

// The bypass bits of the connection belong to the rule and the user that
// earned them: a request of another rule (another client behind a trusted
// proxy, a rebuilt configuration) or of another user starts from its rule's
// bits alone, never from what an earlier "bypass" command granted someone
// else.
static void bypass_claim(CONNECTION_T* connection, const Access* rule, unsigned generation,
                         const char* user) {
    const char* name = user != NULL ? user : "";
    if (connection->bypass_rule != rule || connection->bypass_generation != generation ||
        connection->bypass_user != name) {
        connection->bypass = 0;
        connection->bypass_rule = rule;
        connection->bypass_generation = generation;
        connection->bypass_user = name;
    }
    connection->bypass |= rule->bypass;
}

void AccessSection::setup(CONNECTION_T* connection, const Access* rule, const char* user) {
    // The request is anonymous until a name is verified for it: a name an
    // earlier request of the connection verified never names this one.
    connection_user_set(connection, "anonymous", client_address(connection));
    if (rule->authenticate || (!rule->user.empty() && !rule->password.empty()))
        connection->auth_flags |= CONN_AUTH_REQUIRED;

    connection->profiles.clear();
    for (const std::string& name : rule->profiles) {
        if (std::find(connection->profiles.begin(), connection->profiles.end(), name) !=
            connection->profiles.end())
            continue;
        connection->profiles.push_back(name);
        if (rule->log == 1)
            rule->profiles.show_p("Added", name);
    }

    bypass_claim(connection, rule, generation, user);
    connection->access = rule->access;
    connection->interface_user = rule->interface_user;
    connection->interface_password = rule->interface_password;

    atom_release(connection->user_stats);
    connection->user_stats = stats_share(rule->stats);
}

// Whether the NTLM or Negotiate relay verified this very name on the
// connection.
static bool relay_verified(const CONNECTION_T* connection, const char* user) {
    return connection->auth_host_state == AUTH_HOST_AUTHENTICATED &&
           connection->auth_host_user != NULL && strcmp(connection->auth_host_user, user) == 0;
}

bool AccessSection::verify(CONNECTION_T* connection, const char* user, const char* password,
                           int directory_names) {
    const char* ip = connection->client_ip;
    if (user[0] == '\0' || password[0] == '\0' || strlen(user) > ACCESS_CREDENTIAL_MAX ||
        strlen(password) > ACCESS_CREDENTIAL_MAX) {
        connection->auth_flags |= CONN_AUTH_REQUIRED;
        putlog(LOG_WARNING,
               "security: [IP:%s] authentication failed either username or password is more "
               "than 510 characters",
               ip);
        return false;
    }

    // The relay has verified this connection, but only for the name it
    // verified: Basic credentials for any other name are checked as usual.
    if (relay_verified(connection, user))
        return true;

    if (authflag == 0) {
        int cached = check_password_cache(user, password);
        if (cached == PASSWORD_CACHE_GOOD)
            return true;
        if (cached == PASSWORD_CACHE_BAD) {
            putlog(LOG_WARNING, "security: [IP:%s] password cache: authentication failed for %s",
                   ip, loggable(user).c_str());
            connection->auth_flags |= CONN_AUTH_REQUIRED;
            return false;
        }
    }

    if (directory_names <= 1) {
        int code = auth_pam(user, password);
        if (code != 0) {
            display_pam_msg(code, user, password);
            connection->auth_flags |= CONN_AUTH_REQUIRED;
            return false;
        }
        putlog(LOG_SECURITY, "[IP:%s] PAM: authentication succeeded for %s", ip,
               loggable(user).c_str());
        update_password_cache(user, password, PASSWORD_CACHE_GOOD);
        return true;
    }

    int code = auth_ldap(user, password, connection);
    if (code == 0) {
        putlog(LOG_SECURITY, "[IP:%s] LDAP: authentication succeeded for %s", ip,
               loggable(user).c_str());
        update_password_cache(user, password, PASSWORD_CACHE_GOOD);
        return true;
    }
    // Only a refused password is remembered; a directory that could not be
    // asked says nothing about the pair.
    if (code == -1)
        update_password_cache(user, password, PASSWORD_CACHE_BAD);
    connection->auth_flags |= CONN_AUTH_REQUIRED;
    return false;
}

// A name that was not verified scopes nothing and never becomes the
// connection's user: the record names the client as anonymous. The caller
// holds the read lock.
void AccessSection::unverified(CONNECTION_T* connection) const {
    forget_directory_names(connection);
    connection_user_set(connection, "anonymous", client_address(connection));
}

void AccessSection::check_and_setup(CONNECTION_T* connection, const char* user,
                                    const char* password) {
    if (user == NULL || password == NULL) {
        check_and_setup(connection);
        return;
    }
    int directory_names = set_connection_dn(user, connection);

    read_lock();
    const Access* rule = check(connection, user, password);
    if (rule != NULL) {
        // A rule without authentication verifies a name only by naming it
        // itself; the built-in default rule names nobody, so it admits the
        // client whatever it sent but leaves it anonymous.
        bool verified = true;
        if (rule->authenticate) {
            if (!verify(connection, user, password, directory_names)) {
                unverified(connection);
                unlock();
                return;
            }
        } else if (rule == &default_rule && !relay_verified(connection, user)) {
            verified = false;
            unverified(connection);
        } else {
            putlog(LOG_DEBUG, "security: [IP:%s] authentication succeeded for %s",
                   connection->client_ip, loggable(user).c_str());
        }
        setup(connection, rule, verified ? user : NULL);
        bypass_check(connection);
        if (profile_section != NULL)
            profile_section->profiles_update(connection);
        connection->auth_flags &= ~CONN_AUTH_REQUIRED;
        const char* address = client_address(connection);
        std::string kept = address != NULL ? address : "";
        unlock();
        if (verified)
            connection_user_set(connection, user, kept.c_str());
        return;
    }

    // No rule takes these credentials: the name is not verified.
    unverified(connection);
    if (connection->request != NULL && connection->request->proxy_authorization != NULL) {
        rule = check(connection, NULL, NULL);
        if (rule != NULL)
            setup(connection, rule);
        unlock();
        return;
    }
    connection->auth_flags |= CONN_AUTH_REQUIRED;
    unlock();
    putlog(LOG_WARNING, "security: [IP:%s] authentication failed for %s@%s",
           connection->client_ip, loggable(user).c_str(), connection->client_ip);
}

bool AccessSection::check_and_setup(CONNECTION_T* connection) {
    read_lock();
    const Access* rule = check(connection, NULL, NULL);
    if (rule != NULL) {
        setup(connection, rule);
        unlock();
        return true;
    }
    unlock();
    putlog(LOG_SECURITY, "[IP:%s] access policy has refused connection on port %d",
           connection->client_ip, connection->port);
    LogEntry& record = connection->log;
    // Written before the road has recorded the request: what was asked is
    // filled here (an empty method would shift the native log's fields).
    const HEADER* request = connection->request;
    if (request != NULL) {
        record.method = request->method != NULL ? request->method : "-";
        record.url = request->url != NULL ? request->url
                                          : (request->path != NULL ? request->path : "-");
    }
    record.set_cachecode(CACHECODE_TCP_DENIED)->set_peercode(PEERCODE_DIRECT);
    record.peer = "kestrivan";
    record.status = 403;
    record.filter_name = "access-section";
    record.filtering_reason = "access policy restrictions";
    record.Write();
    record.apache_Write();
    return false;
}

bool AccessSection::is_ntlm_enabled() const {
    read_lock();
    bool enabled = *ntlm_enabled != 0;
    unlock();
    return enabled;
}
