// Configuration section: cookie filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others, and lets every cookie pass.
#pragma once

#include <time.h>

#include <list>
#include <string>
#include <utility>

#include "config/section.h"

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

class CookieSection : public Section {
public:
    CookieSection();
    void update() override {}
    // Direction COOKIE_INCOMING or COOKIE_OUTGOING. 1 lets it pass, 0
    // refuses it.
    int check(int direction, CONNECTION_T* connection, CookieHeader& cookie);
};

extern CookieSection* cookie_section;
