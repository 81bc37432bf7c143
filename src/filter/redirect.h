// Configuration section "redirect": rules that turn a request URL, or the
// Location of a redirecting response, into a new URL built from a
// substitution pattern. For a request a rule either answers the client at
// once with a 302 to the new URL, or rewrites the request in place so that
// the proxy fetches the new URL instead; for a response it replaces the
// Location. No page, no access-log change.
//
// Contract (the scoping of filter/rules.h, and):
// - The road calls redirect_do(connection, 0) once per request after the
//   access decision, profiles, limits and the "bypass" command, and again
//   for an origin-form request once its Host header has given it a host;
//   redirect_do(connection, 1) for every 301 or 302 response that carries a
//   Location, before the header filter.
// - The old URL is "<scheme>://<host><path>" of the request (never a port;
//   the path alone while an origin-form request has no host yet), or the
//   response's Location as received. Rules are tried in order; a rule
//   applies when it is enabled, its name lists admit the connection, it has
//   a pattern, and its applies-to admits the side (location: responses,
//   request: requests, both). The first whose pattern matches the old URL
//   (URL-decoded first with REDIRECT_DECODE_URL) is the only one used.
// - The new URL is the rule's replacement expanded for that match ($n the
//   groups, @NAME@ the template variables, backslash escapes); then, with
//   REDIRECT_ENCODE_PATH (or else REDIRECT_DECODE_PATH), everything after
//   the first "/" of its path is form-encoded (decoded).
// - Side 1: the Location becomes the new URL; the status stays. Side 0 with
//   REDIRECT_REPLY_302: the client gets "302 Found" with the new URL as its
//   Location (the connection's URL commands before the host unless it begins
//   with "/") and Content-Length 0; redirect_do returns 1 and the road stops.
//   Side 0 otherwise, in place: the scheme before "://", the host up to the
//   path (kept for a new URL that begins with "/"), the path ("/" when
//   there is none), the port when the host part names one or the rule's
//   port is not -1 (else the new scheme's default when the request named no
//   port), then the request's URL (the cache's key) is rebuilt from them.
//   A request that gets a host becomes a proxy-form request; a CONNECT
//   stays a CONNECT.
// - Logs at LOG_REDIRECT: "[IP:%s] 302 redirect for <old> to <new>"
//   (Location), "[IP:%s] sent 302 redirect for request for <old> to <new>",
//   "[IP:%s] request for <old> to <scheme>://<host><path>" (in place; the
//   path alone without a host).
// - Locks: the rule is chosen and the new URL built under the read lock;
//   the request or response is changed and the 302 sent after unlocking, so
//   a slow client never holds the section. update() runs under the write
//   lock; a pattern that does not compile refuses the load or edit.
#pragma once

#include <list>
#include <string>

#include "filter/rules.h"

struct CONNECTION_T;

// What a rule does with a request (field 7).
enum {
    REDIRECT_REWRITE = 0,   // any value but 1: rewrite the request in place
    REDIRECT_REPLY_302 = 1, // answer the client with a 302
};

// URL coding of the subject and the result (field 8, bits).
enum {
    REDIRECT_ENCODE_PATH = 0x1, // the new URL's path is form-encoded
    REDIRECT_DECODE_URL = 0x2,  // the pattern sees the old URL decoded
    REDIRECT_DECODE_PATH = 0x4, // the new URL's path is decoded (unless 0x1)
};

// What a rule applies to (field 9); any other value: nothing.
enum {
    REDIRECT_APPLY_LOCATION = 0,
    REDIRECT_APPLY_REQUEST = 1,
    REDIRECT_APPLY_BOTH = 2,
};

// One redirect rule, built from an entry by field position.
class Redirect : public RuleScope {
public:
    explicit Redirect(const Item& entry);

    // Whether the rule may be tried on this side (0 request, 1 Location).
    bool admits(int side) const;

    SubstitutionPattern pattern; // field 4; absent: never applies
    std::string replacement;     // field 5
    int port;                    // field 6; -1 keeps the port
    int action;                  // field 7
    int encoding;                // field 8
    int applies_to;              // field 9
};

class RedirectSection : public Section {
public:
    RedirectSection();
    // Rebuilds the rule list (write lock held).
    void update() override;
    // Side 0 works on the request, side 1 on the response's Location. 1 when
    // a 302 has been sent to the client (the request ends), else 0.
    int redirect_do(CONNECTION_T* connection, int side);

    std::list<Redirect> rules; // subsection 0, in configuration order

private:
    int* enabled; // global field 0
};

extern RedirectSection* redirect_section;
