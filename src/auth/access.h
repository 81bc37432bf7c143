// Configuration section "access": the access rules and the authentication
// front end.
//
// The section holds two ordered rule lists, allow and deny, and a built-in
// default rule (every right, nothing else). For every request one rule is
// chosen for the client from the listening address and port, the client
// address, the user name and password and the user's directory names; the
// chosen rule gives the connection its rights (ACCESS_*), bypass bits
// (BYPASS_*), web-interface login, first profiles and per-rule statistics,
// and says whether the user must be verified.
//
// access_auth, the stage-7 (PROCESSOR_AUTH) processor, takes the
// credentials from the request (Basic decoded here; NTLM and Negotiate
// handed to the relay), verifies them through the password cache and PAM or
// an LDAP bind, and either lets the request go on (0) or leaves a 401/407
// challenge or the "noaccess" page on the connection (1).
//
// Contract:
// - X-Forwarded-For is believed only from a client whose own address is in
//   the section's list of trusted downstream proxies (empty by default:
//   nobody). Only then does it choose a rule by address and name the client
//   in CONNECTION_T::user; the header itself is left for its other uses.
// - A user name becomes CONNECTION_T::user ("name@address") only once it
//   is verified (by a rule without authentication that names it and whose
//   password it satisfies, the password cache, PAM, LDAP or the relay).
//   Names that fail, that match no rule, or that reach the built-in default
//   rule (which names nobody) leave the anonymous form ("anonymous@address")
//   and empty directory lists, whichever rule is chosen then.
// - A rule that authenticates treats its user text as a pattern; a pattern
//   that does not compile is refused when the configuration is loaded, and
//   a rule without its compiled pattern never admits a named user.
// - The password check is skipped after an NTLM or Negotiate login only
//   for the very name the relay verified.
//
// Locks: check and setup run under the section's read lock, taken by their
// callers; check_and_setup with credentials holds it through the whole
// verification (PAM and LDAP included), bypass_check and the profiles pass.
// is_ntlm_enabled takes it by itself. update() runs under the write lock
// held by the configuration framework. Holder counts of the statistics
// objects are atomic (core/atom.h). The general section's read lock is
// taken briefly, on its own, for the realm name.
#pragma once


#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/ranges.h"
#include "config/section.h"

struct CONNECTION_T;
struct HEADER;
struct reg_pattern_t;
class Filebuf;
class Stats;

// Result of access_auth when it has left an answer on the connection.
enum { REQUEST_ANSWERED = 1 };

// Longest user name or password accepted for verification.
enum { ACCESS_CREDENTIAL_MAX = 510 };

// Room for decoded Basic credentials (the text, then its terminator).
enum { ACCESS_BASIC_DECODED_SIZE = 8192 };

// One access rule, built from an entry by field position.
class Access {
public:
    // The default rule: enabled, every right, no bypass bit, nothing else.
    Access();
    explicit Access(const Item& item);
    // Copies every value, compiles its own pattern and shares the
    // statistics object (one more holder).
    Access(const Access& other);
    Access& operator=(const Access&) = delete;
    // Frees the pattern and drops its holder of the statistics object.
    ~Access();

    int enabled;
    std::string comment;
    int log;
    StringList ldap_names;
    StringList interfaces;
    IpRangeList addresses;
    int authenticate;
    std::string user;
    std::string password;
    unsigned access;
    unsigned bypass;
    std::string interface_user;
    std::string interface_password;
    StringList profiles;
    // The user text compiled case-insensitively when the rule authenticates
    // and the text is not empty; NULL otherwise or when it does not compile.
    reg_pattern_t* user_regex;
    // Shared with every connection the rule matched.
    Stats* stats;

private:
    void compile();
};

class AccessSection : public Section {
public:
    AccessSection();
    ~AccessSection() override;

    // Rebuilds both lists from the entries; every rule gets a new
    // statistics object. Throws ConfigError (the load keeps the previous
    // rules) for an authenticating rule whose user pattern does not compile.
    void update() override;

    // The rule match. NULL user and password: no credentials were given.
    // Returns the chosen rule, the default rule, or NULL when the client is
    // refused. The caller holds the read lock.
    const Access* check(CONNECTION_T* connection, const char* user, const char* password);
    // Applies a rule to the connection; its user is "anonymous@address"
    // until a name is verified. `user`: the verified name the request is to
    // carry, NULL for an anonymous one. The bypass bits last for the rest of
    // the connection (a "bypass" URL command reaches the requests after
    // it) while the same rule - of the same configuration - admits the same
    // user; another rule or user starts again from the rule's own bits.
    // The caller holds the read lock.
    void setup(CONNECTION_T* connection, const Access* rule, const char* user = NULL);
    // Match with credentials, verification and setup; the outcome is
    // CONN_AUTH_REQUIRED (set: not authenticated). Takes the read lock.
    void check_and_setup(CONNECTION_T* connection, const char* user, const char* password);
    // Match without credentials and setup; false when the client is refused
    // (the access-log records are written then). Takes the read lock.
    bool check_and_setup(CONNECTION_T* connection);
    // Whether NTLM and Negotiate are offered; takes the read lock.
    bool is_ntlm_enabled() const;

    // The address that stands for the client: its X-Forwarded-For value
    // when the client is a trusted downstream proxy and sent one, else its
    // own address. The caller holds the read lock.
    const char* client_address(const CONNECTION_T* connection) const;
    // The same as a copy, under the read lock it takes itself.
    std::string client_name(const CONNECTION_T* connection) const;

    // Logs a PAM failure code at LOG_ERROR ("security: system: [pam: ...")
    // and, for the codes that prove the pair wrong (PAM_PERM_DENIED,
    // PAM_AUTH_ERR, PAM_USER_UNKNOWN, PAM_MAXTRIES, PAM_NEW_AUTHTOK_REQD),
    // caches a refusal of the pair first. Defined with the password cache.
    static void display_pam_msg(int code, const char* user, const char* password);

    std::list<Access> allow;
    std::list<Access> deny;
    Access default_rule;
    int* allow_first;   // global field 0
    int* ntlm_enabled;  // global field 1
    IpRangeList* trusted_proxies; // global field 2; empty: nobody is trusted
    // Counts the rebuilds of the rules, so that a rule is told from one that
    // a later configuration built at the same address.
    unsigned generation = 0;

private:
    // Whether one rule fits the connection and credentials.
    bool rule_matches(const Access& rule, CONNECTION_T* connection, const char* user,
                      const char* password) const;
    // Verifies the credentials for a rule that authenticates (PAM for at
    // most one directory name, else LDAP); true when they hold. On false
    // CONN_AUTH_REQUIRED is set and the reason logged.
    bool verify(CONNECTION_T* connection, const char* user, const char* password,
                int directory_names);
    // Drops the directory names of a name that was not verified and names
    // the connection's user "anonymous@address".
    void unverified(CONNECTION_T* connection) const;
};

extern AccessSection* access_section;

// The stage-7 processor: REQUEST_ANSWERED (1) when a challenge or the
// refusal page has been left on the connection (CONNECTION_T::response, the
// page in CONNECTION_T::body), 0 to let the request go on. `body` is not
// used.
int access_auth(CONNECTION_T* connection, Filebuf* body);

// A new challenge header: status 401 with WWW-Authenticate lines when
// `direct` (a transparent request), else 407 with Proxy-Authenticate lines;
// with `ntlm` first "Negotiate" and "NTLM", then always
// "Basic realm=\"<realm>\""; an empty body. Owned by the caller.
HEADER* auth_header(bool direct, bool ntlm, const char* realm);

// Installs the "noaccess" page as the connection's response: the template
// entry's status or 403, the page's content type, the page as the body.
void access_block(CONNECTION_T* connection);
