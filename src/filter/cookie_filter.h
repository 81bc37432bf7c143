// The cookie header and the configuration section "cookies-filtering".
//
// CookieSection::check decides whether one cookie may pass: a Set-Cookie of
// a response on its way to the client (COOKIE_INCOMING) or a Cookie of a
// request on its way to the server (COOKIE_OUTGOING). The header serialiser
// asks it for every cookie line it writes and drops a refused line (logging
// "blocked: incoming from <host>" or "blocked: outgoing to <host>" at
// LOG_COOKIEFILTER); nothing is blocked, answered or written to the access
// log. A passing line goes out exactly as it came.
//
// Contract (the scoping and two-pass order of filter/rules.h, and):
// - Section off, or the connection's BYPASS_COOKIE_FILTER: every cookie
//   passes. No default rule: with ORDER_DENY_BY_DEFAULT a cookie no allow
//   rule matches is dropped.
// - A rule matches when it is enabled, its direction is COOKIE_BOTH or the
//   cookie's, and its name lists admit the connection; for an incoming
//   cookie also its expiry window, its domain pattern (searched in the
//   cookie's domain, "" when it names none) and its path pattern. Outgoing
//   cookies carry no attributes worth the name: window, domain and path
//   play no part for them.
// - The expiry window: the time parts switched on in the rule (year, month,
//   day, weekday, hour, minute), read as one span from start to end
//   (TIME_RANGE_SPAN, in_absolutetimerange) or each part within its own
//   bounds (in_alltimerange). A rule with no part switched on has no window.
//   A cookie without a readable expiry (a session cookie) lies in no window:
//   it never matches a rule that has one.
// - Locks: check() holds the read lock for one decision and does no I/O;
//   update() runs under the write lock. A domain or path pattern that does
//   not compile refuses the load or edit.
//
// interface_cookies_show (iface/interface.h, built in cookie_page.cpp)
// answers the URL command "cookies" with the cookies of the request and the
// response as they came, HTML-escaped.
#pragma once

#include <time.h>

#include <list>
#include <string>
#include <utility>

#include "core/misc_time.h"
#include "filter/rules.h"

struct CONNECTION_T;

// One Cookie or Set-Cookie value taken apart at ';': its name=value pairs,
// the attributes domain, path, expires and version (names compared without
// case, a leading '$' of request attributes skipped), and attributes without
// a value such as Secure or HttpOnly. An expires date in none of the known
// layouts stays a pair, as written. Not shared between threads.
class CookieHeader {
public:
    CookieHeader() = default;
    explicit CookieHeader(std::string value);

    // Fills the members from a header value; version, expiry and the flags
    // start afresh, an empty value leaves the rest alone. A later domain,
    // path, version or readable expires replaces an earlier one.
    void Parse(std::string value);

    // The pairs joined by "; ", then "; domain=", "; path=", "; expires="
    // (the expiry as "%a, %d-%b-%Y %H:%M:%S GMT", taken as universal time)
    // and "; version=" where present, then "; " and each valueless attribute
    // as written. No pairs: the empty text.
    std::string Build() const;

    std::list<std::pair<std::string, std::string>> pairs;
    std::string domain, path, version;
    bool has_domain = false, has_path = false, has_version = false;
    bool has_expiry = false;
    struct tm expiry = {};
    std::list<std::string> flags;
};

// The way a cookie travels (a rule's direction may also be both).
enum {
    COOKIE_INCOMING = 0, // Set-Cookie of a response, towards the client
    COOKIE_OUTGOING = 1, // Cookie of a request, towards the server
    COOKIE_BOTH = 2,
};

// How a rule reads its expiry window (field 13): TIME_RANGE_* of core/misc_time.h.

// One cookie rule, built from an entry by field position.
class Cookie : public RuleScope {
public:
    explicit Cookie(const Item& entry);

    // The rule's own tests (not its scoping) for a cookie going that way.
    bool fits(int way, const CookieHeader& cookie) const;

    bool has_window = false; // some time part is switched on
    tm_partial start{};      // fields 4 to 9: the low bounds
    tm_partial end{};        // and the high bounds
    RulePattern domain;      // field 10
    RulePattern path;        // field 11
    int direction;           // field 12: COOKIE_*
    int time_mode;           // field 13: TIME_RANGE_*
};

class CookieSection : public RuleSection<Cookie> {
public:
    CookieSection();
    // Rebuilds both rule lists (write lock held).
    void update() override;
    // Direction COOKIE_INCOMING or COOKIE_OUTGOING. 1 lets the cookie pass,
    // 0 drops it.
    int check(int direction, CONNECTION_T* connection, CookieHeader& cookie);
};

extern CookieSection* cookie_section;
