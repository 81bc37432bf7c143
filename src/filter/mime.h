// Configuration section "mime-filtering": refuses responses by their
// Content-Type, scoped by the request's host and path. It registers no
// processor: the HTTP exchange calls check_and_block once the response
// header is read and filtered, before any byte of the body reaches the
// client (not for HEAD requests, nor for 1xx, 204 and 304 answers, nor for
// FTP and tunnels), and check_show for the URL command "mime".
//
// Contract (the common rule pattern of filter/rules.h, and):
// - A rule matches, after its scoping, when its host pattern is found in the
//   request's host, its path pattern in the request's path (escaped
//   unreserved characters decoded, as the URL filter compares them) and its
//   MIME pattern in the response's Content-Type value exactly as received,
//   parameters included ("text/html" finds "text/html; charset=utf-8"). An
//   empty pattern matches everything; a MIME pattern never matches a
//   response without a Content-Type.
// - A refusal: logged "blocked: mime-type %s from %s%s" and "blocked: [IP:
//   %s] %s" at LOG_MIMEFILTER; "FILTER" is "MiMe Filter", "MIME" the
//   Content-Type (or "(UNKNOWN)"), "REASON" the Content-Type (or "(none)");
//   the page is the rule's template, else the section's, else "blocked"; the
//   record says "mime-filter", the reason, TCP_DENIED, DIRECT, "kestrivan",
//   403. The page is sent after the section is unlocked.
// - Locks: check() runs under the read lock its caller holds;
//   check_and_block() and check_show() take it themselves and release it
//   before any I/O; update() runs under the write lock.
#pragma once

#include <string>

#include "filter/rules.h"

struct CONNECTION_T;

// One MIME rule, built from an entry by field position.
class Mime : public RuleScope {
public:
    // The built-in default rule: no entry, enabled, matches everything.
    Mime() = default;
    explicit Mime(const Item& entry);

    const Item* item = nullptr; // the entry it was built from; NULL: default rule
    RulePattern host;           // field 4
    RulePattern path;           // field 5
    RulePattern mime_type;      // field 6
    std::string template_name;  // field 7; empty: the section's
};

class MimeSection : public RuleSection<Mime> {
public:
    MimeSection();
    // Rebuilds both rule lists (write lock held); a pattern that does not
    // compile refuses the load or edit with a message naming the entry.
    void update() override;

    // The deciding rule (a deny rule or default_rule) when the response is to
    // be refused, NULL when it passes or the section takes no part. Read
    // lock held.
    const Mime* check(CONNECTION_T* connection) const;
    // 1 when the response may go to the client; 0 when it was refused and
    // its block page sent in its place.
    int check_and_block(CONNECTION_T* connection);
    // Answers the URL command "mime" with the verdict page; 0.
    int check_show(CONNECTION_T* connection);

    std::string* template_name; // global field 2: the section's block page
    Mime default_rule;
};

extern MimeSection* mime_section;
