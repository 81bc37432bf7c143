// Statistics: named groups of named counters kept in memory while the proxy
// runs and shown as HTML tables by the web interface. One object belongs to
// the process (GLOBAL::stats); every access rule owns another, shared by the
// connections the rule matched (CONNECTION_T::user_stats).
//
// Contract:
// - Names of groups and counters are compared byte for byte; a name that
//   does not exist is ignored (AddCounter false, Increment/Decrement 0,
//   Limit nothing), silently. Names are taken as views and need not end in
//   a NUL; looking a name up copies nothing and allocates nothing, only a
//   counter or group really added keeps its own copy of the name.
// - Counts, group totals and amounts are 64-bit and wrap modulo 2^64; a
//   group total keeps the counts of counters pruning removed, so percent
//   shares may add up to less than 100.
// - A group with a limit L (2 or more) holds at most L - 1 counters: adding
//   a counter to a full group first drops the least recently updated one
//   (STAT_PRUNE_OLDEST) or the one with the smallest count
//   (STAT_PRUNE_SMALLEST); among equals the one added first.
// - Flags: a counter without callback is exactly STAT_COUNT or STAT_SIZE; a
//   numeric-callback counter STAT_CALLBACK and one of those two; a
//   string-callback counter STAT_CALLBACK and STAT_STRING; every counter of
//   a STAT_PERCENT group has STAT_COUNT. Display and Get treat anything else
//   as an impossible state (fatal).
// - Locks: groups are added only while an object is built, before another
//   thread can reach it; afterwards the group list and the limits are read
//   without a lock. Each group's lock guards its list of counters: adding
//   and pruning take it for writing. Counting an existing counter takes it
//   only for reading and changes the count, total and update times
//   atomically, so counting threads never wait for each other (nor for one
//   the scheduler preempted while it counted); Display reads it while it
//   writes that group's rows. Callbacks run under the group lock and may
//   take GLOBAL::mutex (never the reverse).
// - A per-rule object's holder count (its Atom) is atomic; the holder whose
//   Delete returns true deletes it.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "config/sharded_rwlock.h"
#include "core/atom.h"

struct CONNECTION_T;
class Filebuf;

// StatCounter::flags
enum {
    STAT_COUNT = 0x1,    // shown as a decimal number
    STAT_SIZE = 0x2,     // shown as a byte size ("1.5 MB")
    STAT_STRING = 0x4,   // the text the callback returns
    STAT_CALLBACK = 0x8, // the value comes from the callback, not the count
};

// StatGroup::type
enum {
    STAT_PLAIN = 0,   // every counter shows its own value
    STAT_PERCENT = 1, // every counter shows its count and its share of the total
};

// StatGroup::prune_mode
enum {
    STAT_PRUNE_OLDEST = 0,
    STAT_PRUNE_SMALLEST = 1,
};

// Counter limit of the groups whose counters are added from request data
// (hosts, MIME types, users, client addresses).
extern int STAT_LIMIT;

typedef uint64_t (*stat_number_callback)();
typedef char* (*stat_string_callback)(); // new string, freed by the caller

class StatCounter {
public:
    int flags = 0;
    std::string name;
    struct timeval updated = {0, 0}; // last increment or decrement
    stat_number_callback number = nullptr;
    stat_string_callback text = nullptr;
    uint64_t count = 0;

    // The value as a new string (freed by the caller): the count or the
    // numeric callback's value as a decimal number (STAT_COUNT) or a byte
    // size (STAT_SIZE), or the string callback's text (NULL when it gives
    // none). Other flags: fatal.
    char* Get() const;
};

class StatGroup {
public:
    StatGroup(std::string_view name, int type);
    ~StatGroup();
    StatGroup(const StatGroup&) = delete;
    StatGroup& operator=(const StatGroup&) = delete;

    int type;
    uint64_t total = 0;
    std::string name;
    int limit = 0; // 0: no limit
    int prune_mode = STAT_PRUNE_OLDEST;
    struct timeval updated = {0, 0};
    std::list<StatCounter> counters; // in the order they were added
    mutable ShardedRwLock lock;

    // Adds a counter with count 0 at the end (pruning first); false when the
    // name exists or the flags do not fit the form.
    bool Add(std::string_view name, int flags);
    bool Add(std::string_view name, stat_number_callback callback, int flags);
    bool Add(std::string_view name, stat_string_callback callback, int flags);
    // The new count, or 0 when there is no such counter.
    uint64_t Increment(std::string_view name, uint64_t amount = 1);
    uint64_t Decrement(std::string_view name, uint64_t amount = 1);
    // Increment that first adds a STAT_COUNT counter for a new name (pruning
    // first), both under one hold of the lock for writing, so a counter added
    // for a request is still there when it is counted; the new count.
    uint64_t IncrementOrAdd(std::string_view name, uint64_t amount = 1);
    void Limit(int limit, int prune_mode);
    // Drops one counter when the group is full; the lock is held for writing.
    void Prune();
    // Appends the group's table; reads the lock.
    void Display(Filebuf* page) const;

private:
    // The counter names apart from the counters, in the same order, for the
    // reason Stats keeps its group names apart: the lookup reads only lines
    // that change when a counter is added or pruned. Guarded by the lock.
    struct CounterName {
        std::string name;
        StatCounter* counter;
    };
    std::vector<CounterName> names;

    // Adds the counter `form` describes under `name` unless the name exists.
    bool add_locked(std::string_view name, const StatCounter& form);
    // Appends a counter like `form` named `name` to both lists; the lock is
    // held for writing and the name is new.
    StatCounter* append_locked(std::string_view name, const StatCounter& form);
    StatCounter* find(std::string_view name);
    // Adds `amount` (in two's complement for a decrement) to the counter and
    // the total and stamps both, atomically; the lock is held (reading is
    // enough).
    uint64_t count_locked(StatCounter* counter, uint64_t amount);
    // Counts an existing counter under the lock for reading; false when
    // there is no such counter.
    bool count_existing(std::string_view name, uint64_t amount, uint64_t* count);
};

class Stats : public Atom {
public:
    std::list<StatGroup> groups; // in creation order

    void AddGroup(std::string_view group, int type);
    void Limit(std::string_view group, int limit, int prune_mode);
    bool AddCounter(std::string_view group, std::string_view name, int flags);
    bool AddCounter(std::string_view group, std::string_view name, stat_number_callback callback,
                    int flags);
    bool AddCounter(std::string_view group, std::string_view name, stat_string_callback callback,
                    int flags);
    uint64_t Increment(std::string_view group, std::string_view name, uint64_t amount = 1);
    uint64_t Decrement(std::string_view group, std::string_view name, uint64_t amount = 1);
    // StatGroup::IncrementOrAdd in that group; 0 when there is no such group.
    uint64_t IncrementOrAdd(std::string_view group, std::string_view name, uint64_t amount = 1);
    // Appends every group as one row of a table the caller opens and closes.
    void Display(Filebuf* page) const;

    // The group of that name, or NULL.
    StatGroup* Group(std::string_view group);

private:
    // The group names apart from the groups: every request looks up several
    // groups while other workers write the counters, totals and mutexes
    // beside each group's own name, so a walk through the groups missed the
    // cache at every step. This list is only read once the object is built.
    struct GroupName {
        std::string name;
        StatGroup* group;
    };
    std::vector<GroupName> names;
};

// Fills the global statistics with their eleven groups ("system" with the
// process figures of process_figures.h, "requests", "network", "DNS cache",
// "cache", "cache refresh", "connection pool", and the limited "hosts",
// "mimes", "users", "ip addresses"); called once at start-up after the
// modules are loaded.
void globalstats_init();

// A new statistics object of one access rule, with one holder and its
// groups: "requests", "cache", "cache refresh", "hosts" and "mimes".
Stats* userstats_init();

// Feeds. Each counts one unit in the global statistics and, when the
// connection has one, in its access rule's (CONNECTION_T::user_stats). The
// named forms (hosts, mimes, ip addresses) add a counter for a new name
// first; an absent or empty name counts nothing.
void statincr_httprequests(CONNECTION_T* connection);
void statincr_connectrequests(CONNECTION_T* connection);
void statincr_ftprequests(CONNECTION_T* connection);
void statincr_hosts(CONNECTION_T* connection);   // the request's host
void statincr_mimes(CONNECTION_T* connection);   // the response's MIME type
void statincr_cachehit(CONNECTION_T* connection);
void statincr_cachemiss(CONNECTION_T* connection);
void statdecr_cachehit(CONNECTION_T* connection); // a hit that failed revalidation
void statincr_cacherefreshhit(CONNECTION_T* connection);
void statincr_cacherefreshmiss(CONNECTION_T* connection);
// The client address of a request admitted without credentials: global
// statistics only ("ip addresses").
void statincr_ipaddresses(CONNECTION_T* connection);
