// Configuration section "limits": quotas and time rules per rule of users.
// A rule can refuse every request while its time window is active, refuse
// requests once its request quota for the window is spent, give each request
// what is left of its download and upload quotas as allowances, and throttle
// what is sent to the client to a byte rate. The section decides and counts;
// the request road enforces (the upload allowance against the request body,
// the download allowance against the response, the rate through the client
// socket's write rate group).
//
// The road calls check_and_block once per request (after the request is
// read and the profiles are known), and update after every request, refused
// ones included; the one-second timer calls limits_reset, which clears the
// counters of the rules whose window is over.
//
// Contract:
// - A rule applies to a connection when it is enabled, its groups and
//   profiles admit it (RuleScope) and its window is active at the local time
//   of the call. Windows: a part (month, day, weekday, hour, minute) takes
//   part when its switch is on; TIME_RANGE_SPAN reads the set parts as one
//   stretch from the start to the end (in_absolutetimerange),
//   TIME_RANGE_EACH_PART as a recurring window (in_alltimerange). With no
//   part set the window is always active.
// - check_and_block starts the request's counting: bytes_down 0, both
//   allowances unlimited (-1), bytes_up the size of the request body when it
//   is known (its Content-Length, or a body read whole), else 0. Off or
//   bypassed (BYPASS_LIMITS): nothing more, but a rate group that an earlier
//   request left on the client socket is taken off. Otherwise the rules that
//   apply, in configuration order:
//     * `block`: refused, "blocked" page, REASON "Time Limits";
//     * request quota reached: refused, "maxrequests" page, REASON "Max
//       Requests";
//     * otherwise the smallest remaining download and upload quota become
//       the allowances ("DOWNLOADLIMIT" / "UPLOADLIMIT" show the rule's
//       limit), LIMIT_COUNT_CACHED sets CONN_LIMIT_COUNT_CACHED, and the
//       rate is chosen: the first rule's, replaced by any lower one, 0
//       (no throttling) included.
//   The chosen rate goes on the client socket as its write group (the rule's
//   shared group with LIMIT_SHARED_RATE, else a group of the request's own);
//   no rate takes any group off, so a rate never outlives the requests its
//   rules cover. A refusal: FILTER "User Limits", REASON and LIMIT_TYPE as
//   above, the rule's template else the built-in one, the record
//   "limit-section", "time limit restrictions" / "max-requests
//   restrictions", TCP_DENIED, DIRECT, "kestrivan", 403; sent after
//   unlocking.
// - update counts a finished request into every rule that applies and lacks
//   LIMIT_NOT_COUNTED: its bytes down (unless it came from the cache, which
//   counts only with LIMIT_COUNT_CACHED), its body bytes, one request.
//   Counters are 64-bit and stop at their largest value. A connection on
//   which no request arrived counts nothing. The counts are consumed: a
//   request is never counted twice.
// - reset clears the counters of every enabled rule whose window is not
//   active now. Any rebuild of the section starts every quota afresh.
// - Locks: the rules are read under the read lock. The counters are atomic,
//   so counting and clearing run under the read lock too and never wait
//   behind the requests being checked; a check may read a counter that is
//   counted up right after it (two requests near a quota can both pass).
//   Rate groups are shared with sockets through their holder counts
//   (core/atom.h); a rule holds its shared group until it is
//   rebuilt.
// - The clock is `LimitSection::clock` (wall clock; tests set their own).
#pragma once

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <list>
#include <string>

#include "core/misc_time.h"
#include "filter/rules.h"

struct CONNECTION_T;
class LimitGroup;

// Limit::options bits.
enum {
    LIMIT_COUNT_CACHED = 0x1, // cached responses count; CONN_LIMIT_COUNT_CACHED
    LIMIT_NOT_COUNTED = 0x2,  // update never counts into the rule
    LIMIT_SHARED_RATE = 0x4,  // one rate group for every connection of the rule
};

// Limit::time_mode: TIME_RANGE_* of core/misc_time.h.

// One limit rule, built from an entry of subsection 0 by field position.
class Limit : public RuleScope {
public:
    explicit Limit(const Item& entry);
    // Lets go of the shared rate group.
    ~Limit();
    Limit(const Limit&) = delete;
    Limit& operator=(const Limit&) = delete;

    bool window_active(const struct tm& now) const;

    int block;                 // field 4
    std::string template_name; // field 5; empty: the built-in page
    tm_partial window_start;   // fields 6 to 10, first values
    tm_partial window_end;     // fields 6 to 10, second values
    bool windowed;             // some part is set: the window depends on the time
    unsigned download_limit;   // field 11; 0: no quota
    unsigned upload_limit;     // field 12
    unsigned request_limit;    // field 13
    unsigned rate;             // field 14; bytes a second, 0: no throttling
    int time_mode;             // field 15
    int options;               // field 16, LIMIT_* bits

    // Counted in the current window.
    std::atomic<uint64_t> downloaded{0};
    std::atomic<uint64_t> uploaded{0};
    std::atomic<uint64_t> requests{0};
    // With LIMIT_SHARED_RATE and a rate: the group every connection of the
    // rule shares (one hold is the rule's); else NULL.
    LimitGroup* group = nullptr;
};

class LimitSection : public Section {
public:
    LimitSection();
    // Rebuilds the rules with fresh counters (write lock held).
    void update() override;
    // Counts the finished request (see above).
    void update(CONNECTION_T* connection);
    // Starts the request's counting and applies the rules; true when the
    // request was refused and answered.
    bool check_and_block(CONNECTION_T* connection);
    // Clears the counters of the rules whose window is over.
    void reset();

    int* enabled; // global field 0
    std::list<Limit> rules;
    // The current time; time(NULL) unless a test sets another.
    time_t (*clock)();

private:
    class Now;
    // Scoping and window; the time is read only when a window asks.
    bool applies(const Limit& rule, const CONNECTION_T* connection, Now& now) const;
};

extern LimitSection* limit_section;

// One-second timer job: reset() of limit_section.
void limits_reset(void*);
