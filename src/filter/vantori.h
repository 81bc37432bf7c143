// Configuration section "vantori": site categories.
//
// Every request host can have a score in each site category
// (filter/vantori_categories.h). The scores come from the category service
// (filter/vantori_mx.h) and are kept in a process-wide cache of sites; the
// section's rules turn them into changes of the connection's profile list,
// in two passes: vantori_first before the profile rules run, vantori_second
// after them (from ProfileSection::profiles_update). The rules block nothing
// themselves.
//
// The cache (vantori_cache.cpp): a chained table of VANTORI_CACHE_BUCKETS
// buckets under `cache_lock`, at most one record per site (names compared
// without case). Three kinds of record:
//  - hint records, read at start from the hint files (*.vantori in the
//    section's directory): never expire and are never written back, so a
//    hint file stays the one place they live;
//  - service records, answered by the service or read back from the cache
//    file: expire VANTORI_RECORD_TTL seconds after they were made;
//  - failures (the service named no category, or could not be asked):
//    remembered VANTORI_FAILURE_TTL seconds, so an unknown host or a service
//    that is down costs one lookup per interval, not one per request.
// Records that expire are bounded in number (VANTORI_CACHE_RECORDS_MAX);
// past that, answers are used but not kept until expired records are
// swept away. Lookups copy a record's scores out under the lock; no pointer
// into the table leaves it. The DNS query runs with no lock held.
//
// The files (vantori_files.cpp): the hint files and the cache file
// "<directory>/vantori.cache" are read once at start by the site-category
// thread, which then reads the host feed written by start-up and, every
// VANTORI_DUMP_INTERVAL seconds, sweeps expired records and rewrites the
// cache file when records were added or removed since the last write. The
// shutdown sequence and SIGHUP write it too; `dump_lock` keeps two writers
// apart.
//
// Locks: the section lock guards the rules and the two global fields;
// `cache_lock` the table and its counters; `dump_lock` the cache file. The
// section lock and `cache_lock` are never held together; `dump_lock` is
// taken before either.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <list>
#include <string>
#include <vector>

#include "config/section.h"
#include "net/connection.h"

class Filebuf;

constexpr int VANTORI_CACHE_BUCKETS = 8111;
// Seconds a service record is used after it was made.
constexpr time_t VANTORI_RECORD_TTL = 86400;
// Seconds a failed lookup is remembered.
constexpr time_t VANTORI_FAILURE_TTL = 60;
// Most records that expire (service records and failures) held at once.
constexpr int64_t VANTORI_CACHE_RECORDS_MAX = 100000;
// Seconds between two runs of the site-category thread's periodic work.
constexpr int VANTORI_DUMP_INTERVAL = 60;
// Longest site name kept in the cache file (and read from it).
constexpr int VANTORI_SITE_MAX = 1023;

// VANTORI_CACHE_ENTRY::kind.
enum {
    VANTORI_RECORD_SERVICE = 0, // scores of the service or the cache file
    VANTORI_RECORD_HINT = 1,    // scores of a hint file
    VANTORI_RECORD_FAILED = 2,  // no scores to be had for now
};

// One cached site.
struct VANTORI_CACHE_ENTRY {
    VANTORI_CACHE_ENTRY* next; // next record of the bucket
    time_t time_added;         // when the record was made or last refreshed
    char* site;                // owned copy of the name
    int kind;                  // VANTORI_RECORD_*
    int scores[CATEGORY_SCORES];
};

struct VANTORI_CACHE_TABLE {
    int size;                     // buckets
    VANTORI_CACHE_ENTRY** buckets; // chain heads
    uint64_t count;               // records inserted since start-up (numbers the log line)
    int64_t added;                // changes to the file's records since its last write
    int64_t records;              // records held that expire
    bool full;                    // the bound was reached and not yet left again
};

// One category rule, copied from an entry of subsection 0 by position.
class VANTORI {
public:
    explicit VANTORI(const Item& item);

    int enabled;
    std::string comment;
    int log;
    StringList groups;
    StringList profiles;
    StringList categories;
    std::string score_range;
    StringList add_profiles;
    StringList remove_profiles;

    // Made once from the texts above, so a request only compares numbers.
    // Per name of `categories`: its category number, or one of these.
    enum { CATEGORY_UNKNOWN = -1, CATEGORY_EMPTY = -2 };
    std::vector<int> category_numbers;
    int lower; // score range bounds, both included
    int upper;
};

// The bounds of a score-range text: with a '-' the numbers before and after
// its last '-', else the whole text for both; each read as by atoi (leading
// blanks, a sign, digits; no digits give 0; values beyond int are clamped).
// "50-100" gives 50..100, "75" 75..75, "-5" 0..5, "-5--1" -5..1.
void vantori_score_range(const std::string& text, int& lower, int& upper);

class VANTORI_Section : public Section {
public:
    VANTORI_Section();
    ~VANTORI_Section() override;

    // Rebuilds the rules from subsection 0, disabled entries included; the
    // list stays empty while the section is disabled.
    void update() override;

    // Global field 0 under the read lock.
    bool is_enabled() const;

    // --- cache (vantori_cache.cpp) ---
    // Creates the cache with VANTORI_CACHE_BUCKETS buckets; 1, or 0 (logged)
    // when it cannot be allocated.
    int cache_init();
    // Creates the cache with `size` buckets; 1, or -1 (logged) when the size
    // is not positive or the memory cannot be had (the cache stays absent).
    int vantori_cache_create(int size);
    // The scores of a site: a fresh record's, else the service's answer,
    // which is then cached (a failed lookup is cached as a failure and logged
    // "vantori: failed to lookup site: %s"). 1 with the CATEGORY_SCORES
    // scores copied into `scores`; 0 when there are none (the scores are
    // then untouched). May wait for a DNS answer.
    int vantori_cache_search(const char* site, int* scores);
    // Adds a record read from a file (a hint file when `hint`, else the
    // cache file) unless the site already has one: the first record of a
    // site wins. 1 when added. Neither kind counts as a change of the cache
    // file. Nothing happens without a cache.
    int update_vantori_cache(const char* site, const int* scores, bool hint);
    // Removes the site's record, of whatever kind.
    void vantori_cache_purge(const char* site);
    // Removes every expired record.
    void vantori_cache_expire();
    // Appends the cache-file text of every fresh service record ("\n<site>
    // \t<scores 0 to 31 joined by ','>" each) and returns the changes
    // counted since the last write; 0, with nothing appended, when there
    // are none or no cache.
    int64_t cache_file_text(Filebuf* text);
    // Takes the changes a successful write covered off the count; changes
    // made since the snapshot stay counted for the next write.
    void cache_file_written(int64_t changes);
    // Copies the request host's scores into CONNECTION_T::category_scores;
    // 1 when it has scores, else 0 with the scores untouched.
    int store_vantori(CONNECTION_T* connection);

    // --- files (vantori_files.cpp) ---
    // Reads the hint files, then the cache file, into the cache (once, at
    // start, while the section is enabled).
    void vantori_filetocache_insert();
    // Writes the service records to the cache file when records were added
    // or removed since the last write (enabled only): "<directory>/
    // vantori.cache.new" is written whole, synced, renamed over the cache
    // file and the directory synced. A failure leaves the old file and keeps
    // the changes counted, so the next call tries again. Called by the
    // site-category thread, the shutdown sequence and SIGHUP.
    void vantori_dnstofile_insert();

    // --- rules ---
    // Applies the rules of one pass (0: only rules scoped neither by groups
    // nor by profiles; 1: every rule whose groups and profiles match);
    // always 0.
    int check_profiles(CONNECTION_T* connection, int pass);

    std::list<VANTORI> rules;
    int* enabled;           // global field 0
    std::string* directory; // global field 1
    VANTORI_CACHE_TABLE* cache; // NULL when it could not be made
    pthread_rwlock_t cache_lock;
    pthread_mutex_t dump_lock;
};

extern VANTORI_Section* vantori_section;

// The bucket of a site name among `size`: 32-bit FNV-1a over its bytes with
// A-Z taken as a-z, modulo size; 0 for an empty name. Names differing only in
// case share it.
unsigned vantori_cache_key(int size, const char* site);

// The clock of the cache's ages; tests replace it.
extern time_t (*vantori_clock)(time_t*);

// Reads the host feed file (`vantorifeed`), looks every named site up
// (which asks the service for those not cached) and deletes the file.
void get_access_log_url();

// The site-category thread: waits until the section is enabled, reads the
// files and the feed, then every VANTORI_DUMP_INTERVAL seconds sweeps the
// cache and writes the cache file. Never returns.
void* vantori_cachedump(void*);

// The two passes over the rules; each does nothing while the section is
// disabled, for a request without host and for the interface host
// (interface_addressed, which leaves the request as it is), fetches
// the host's scores when the request has none yet, and returns 0.
int vantori_first(CONNECTION_T* connection);
int vantori_second(CONNECTION_T* connection);
