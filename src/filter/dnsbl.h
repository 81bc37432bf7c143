// Configuration section "dnsbl": refuses requests for hosts whose domain a
// DNS block list names, as a request-check processor (dnsbl_reqcheck,
// registered by the constructor; it runs after the URL filter's and before
// the URL black lists'). One zone, one set of answer addresses and one block
// template serve every request: no rules, no profile scoping.
//
// Contract:
// - The check runs when the section is enabled, the connection does not
//   bypass it (BYPASS_DNSBL), the zone and the address list are not empty
//   and the request has a host.
// - The domain of a host (a final dot dropped) is its last two labels when
//   it has three or more, else the whole host; a dotted IPv4 address counts
//   as a name. The query name is "<domain>.<zone>"; it is resolved through
//   the DNS cache (net_dns), and its first address means "listed" when the
//   address list holds it.
// - A name that does not resolve means "not listed". The failure is
//   remembered DNSBL_FAILURE_TTL seconds (for at most DNSBL_FAILURES_MAX
//   names at once), so neither the many unlisted domains nor a block list
//   that does not answer cost one resolver wait per request: one per domain
//   and interval.
// - Listed: the page is the section's template, else "blocked", with
//   "FILTER" = "DNS BlackList", "DNSBL_IP" = the address and no "REASON";
//   the access-log record says "DNSBL", the address, TCP_DENIED, DIRECT,
//   "kestrivan", 403; then "domain %s is blacklisted" (the full host) is
//   logged at LOG_DNSBL.
// - Locks: the settings are a snapshot made by update(), taken under the
//   read lock; the lookup and the page go without any section lock. The
//   failure memory has a mutex of its own, never held during a lookup.
#pragma once

#include <pthread.h>
#include <time.h>

#include <memory>
#include <string>

#include "config/ranges.h"
#include "config/section.h"

struct CONNECTION_T;
class Filebuf;
struct HASH_TABLE;

// Seconds a query name that did not resolve is not asked again.
constexpr time_t DNSBL_FAILURE_TTL = 60;
// Most such names remembered at once.
constexpr int DNSBL_FAILURES_MAX = 10000;

// What the check needs of the global fields, copied whole by update().
struct DnsblSettings {
    bool active = false; // enabled, with a zone and addresses
    std::string template_name;
    std::string zone;
    IpRangeList addresses;
};

class DnsblSection : public Section {
public:
    DnsblSection();
    // Takes a new snapshot of the global fields (write lock held).
    void update() override;

    // 1 when the request was refused and its block page sent, else 0.
    int check_and_block(CONNECTION_T* connection) const;

    int* enabled;                // global field 0
    std::string* template_name;  // global field 1
    std::string* zone;           // global field 2
    IpRangeList* addresses;      // global field 3

private:
    bool failure_remembered(const char* name, time_t now) const;
    void failure_remember(const char* name, time_t now) const;

    std::shared_ptr<const DnsblSettings> settings_;
    mutable pthread_mutex_t failures_lock_;
    HASH_TABLE* failures_;       // query names that did not resolve, stamped
    mutable int failures_count_;
};

extern DnsblSection* dnsbl_section;

// The domain a host is looked up by (see above); `length` receives its
// length, which leaves out a final dot of the host.
const char* dnsbl_domain(const char* host, size_t* length);

// The clock of the failure memory; tests replace it.
extern time_t (*dnsbl_clock)(time_t*);

// The request-check processor: check_and_block of dnsbl_section (the buffer
// is not used).
int dnsbl_reqcheck(CONNECTION_T* connection, Filebuf* buffer);
