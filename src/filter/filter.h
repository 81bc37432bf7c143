// Configuration section "url-filtering": refuses requests by host, path and
// destination address before the cache is asked or a server is reached, as a
// request-check processor (filter_reqcheck, registered by the constructor),
// and answers the URL command "filter" with the rule that would decide.
//
// Contract (the common rule pattern of filter/rules.h, and):
// - A rule matches, after its scoping, when its host pattern is found in the
//   request's host, its path pattern in the request's path (compared with
//   escaped unreserved characters decoded, url_path_unreserved, so "/%61dmin"
//   is "/admin"), and the destination address lies in its ranges. An empty
//   pattern or range list matches everything; the "offline" URL command
//   (CONN_OFFLINE) makes the ranges match without any lookup.
// - The destination address is looked up (net_dns) at most once per
//   decision, only when a rule that passed every other test has ranges, and
//   never under the section lock. A host that does not resolve matches the
//   ranges of a deny rule but never those of an allow rule, so an
//   unresolvable host is refused by address, never let through by it.
// - A refusal: logged "[IP:%s] blocked: %s%s" (client, host, path) at
//   LOG_URLFILTER; "FILTER" is "URL Filter" and "REASON" is absent; the page
//   is the rule's template, else the section's, else "blocked"; the record
//   says "url-filter", "-", TCP_DENIED, DIRECT, "kestrivan", 403. The page is
//   sent after the section is unlocked.
// - Locks: check() runs under the read lock its caller holds;
//   check_and_block() and check_show() take it themselves and release it
//   before any I/O. update() runs under the write lock (configuration
//   framework); a host or path pattern that does not compile refuses the
//   whole load or edit with a message naming the entry.
#pragma once

#include <netinet/in.h>

#include <list>
#include <string>

#include "config/ranges.h"
#include "filter/rules.h"

struct CONNECTION_T;
class Filebuf;

// One URL rule, built from an entry by field position.
class Filter : public RuleScope {
public:
    // The built-in default rule: no entry, enabled, matches everything.
    Filter() = default;
    explicit Filter(const Item& entry);

    const Item* item = nullptr; // the entry it was built from; NULL: default rule
    RulePattern host;           // field 4
    RulePattern path;           // field 5
    IpRangeList addresses;      // field 6; empty: any address
    std::string template_name;  // field 7; empty: the section's
};

// The destination address of the request being decided: unknown until a
// rule needs it, then looked up once.
struct DestinationAddress {
    enum { UNKNOWN, RESOLVED, FAILED } state = UNKNOWN;
    char text[INET_ADDRSTRLEN] = "";

    // Looks the host up through the DNS cache; no lock may be held.
    void resolve(const char* host);
};

class FilterSection : public RuleSection<Filter> {
public:
    FilterSection();
    // Rebuilds both rule lists (write lock held).
    void update() override;

    // The deciding rule (a deny rule or default_rule) when the request is to
    // be refused, NULL when it passes or the section takes no part. Read
    // lock held. When a rule needs the destination address while `address`
    // is still UNKNOWN, returns NULL with address_needed set: the caller
    // unlocks, resolves and asks again.
    const Filter* check(CONNECTION_T* connection, const DestinationAddress& address,
                        bool& address_needed) const;
    // 1 when the request was refused and its block page sent, else 0.
    int check_and_block(CONNECTION_T* connection);
    // Answers the URL command "filter" with the verdict page; 0.
    int check_show(CONNECTION_T* connection);

    std::string* template_name; // global field 2: the section's block page
    Filter default_rule;

private:
    // The host and path patterns of both lists, each set scanned once per
    // request so that only the patterns that may match are searched.
    RulePatternSet host_patterns;
    RulePatternSet path_patterns;

    // Runs check under the read lock, resolving the address without it when
    // a rule needs it; `decided` gets the verdict with the lock still held.
    template <class Decided>
    void with_verdict(CONNECTION_T* connection, Decided&& decided);
};

extern FilterSection* filter_section;

// The request-check processor: check_and_block of filter_section (the
// buffer is not used).
int filter_reqcheck(CONNECTION_T* connection, Filebuf* buffer);
