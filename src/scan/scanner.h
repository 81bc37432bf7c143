// The shape every content scanner shares (the antivirus daemon clients and
// the image-filter plug-in): rules scoped by name lists, the section that
// holds them, the buffer decision, the block action, the connection to a
// scanner daemon and the temporary copy of a body for daemons (and
// external programs) that read files.
//
// Contract:
// - A scanner joins the response road at two processor stages. At
//   PROCESSOR_BUFFCHECK its callback returns check_match(): 1 when a rule
//   applies, so the body is collected whole (only a whole body can be
//   scanned). At PROCESSOR_RESPCHECK it scans the collected body and returns
//   SCAN_PASS, or SCAN_BLOCKED after it has answered the client with the
//   block page and filled the access-log record (scan_virus_block, the
//   filters' block action). The road then
//   skips the body-modification stage; after a pass it marks the cache
//   object CACHE_CLEAN.
// - A scanner that cannot be reached, does not answer in time or answers
//   nothing usable lets the body pass: the failure is logged, never
//   reported as clean, and calls scan_incomplete() so that the cache object
//   is not marked CACHE_CLEAN. There is no retry.
// - Rules are scoped as the filters' are (filter/rules.h: RuleScope, the
//   bypass bit, block_page_choose, block_send). They live in
//   ScannerSection<Rule>::rules, rebuilt by update() under the section's
//   write lock. find() runs under the read lock, held by the
//   caller; a scan copies what it needs from the rule and the section under
//   the read lock and talks to its daemon with no lock held.
// - Every read from and write to a scanner has a time limit
//   (scan_connect); a silent daemon costs one request a bounded wait.
#pragma once

#include <stddef.h>

#include <list>
#include <string>
#include <vector>

#include "config/config_lists.h"
#include "config/section.h"
#include "core/log.h"
#include "filter/rules.h"
#include "net/connection.h"

class Filebuf;

// Results of a response check.
enum {
    SCAN_PASS = 0,    // nothing blocked: clean, no rule, or the scanner failed
    SCAN_BLOCKED = 1, // the block page has been sent and the record filled
};

// The page a scanner block sends when neither rule nor section names one.
constexpr const char* SCAN_VIRUS_TEMPLATE = "virus";

// The head of every scanner rule, read by entry position: field 0 enabled,
// field 1 comment, then (for rules with user groups) field 2 groups, then
// profiles and the rule's block template name. Scoping is the filters'
// (RuleScope::applies). Rules of a client with more fields derive from it
// and read theirs from `next_field` on.
class ScanRule : public RuleScope {
public:
    enum Scoping { PROFILES_ONLY = 0, GROUPS_AND_PROFILES = 1 };

    ScanRule(const Item& item, Scoping scoping);

    std::string template_name; // empty: the section's
    size_t next_field;         // position of the first field after the head
};

// True when the connection serves a cached copy that already passed the
// response processors: it is not storing a new copy, has a cache object,
// and that object is marked CACHE_CLEAN.
bool scan_cached_clean(CONNECTION_T* connection);

// Notes that a scanner could not give a verdict on the body being served,
// so the road does not mark its cache object clean.
void scan_incomplete(CONNECTION_T* connection);

// The block of an antivirus client (through block_send, never with a
// section lock held): "FILTER" = "Antivirus", "REASON" and "VIRUSNAME" = the
// virus name, "AVSCANNER" = the scanner's label; the page sent with status
// 200 unless its template entry names one (nothing goes out when the client
// is gone); the record: filter name, the virus name as reason, TCP_DENIED,
// DIRECT, "kestrivan", 403. The caller has logged the detection. Returns
// SCAN_BLOCKED.
int scan_virus_block(CONNECTION_T* connection, const std::string& page, const char* scanner,
                     const char* filter_name, const std::string& virus_name);

// Opens a stream connection to a scanner daemon: an address beginning with
// "/" is the path of a unix-domain socket (port ignored), any other is a
// host name or dotted address reached on TCP `port`. The connection waits
// at most `timeout` seconds, and so does every later send and receive on
// the descriptor (a blocked send then returns with EAGAIN). TCP descriptors
// come with TCP_NODELAY on: scanner exchanges are request and answer.
// Returns the descriptor, or -1 (empty address, a socket path too long for
// a unix-domain address, a port below 1), -2 (socket or connect failure,
// time-out), -3 (host name does not resolve). Failures are not logged here:
// the client knows what to advise.
int scan_connect(const char* address, int port, int timeout);

// Seconds a scan may wait on its daemon for this connection: the General
// read time-out (60 when no General entry applies).
int scan_timeout(CONNECTION_T* connection);

// A temporary copy of a body for daemons and external programs that read
// files: the general section's temporary directory, "/", the prefix and six
// random characters (mkostemp, mode 0600, not inherited by programs the
// daemon starts). The destructor removes the file.
class ScanTempFile {
public:
    ScanTempFile() = default;
    ~ScanTempFile();
    ScanTempFile(const ScanTempFile&) = delete;
    ScanTempFile& operator=(const ScanTempFile&) = delete;

    // Creates the file and writes the whole body into it. false (logged)
    // when the file cannot be made or written; nothing is left behind then.
    bool create(const Filebuf* body, const char* prefix);
    const std::string& path() const { return file_path; }

private:
    std::string file_path; // empty while there is no file
};

// The section of one scanner client, holding rules of type Rule (a class
// with `Rule(const Item&)` and `applies()`, normally derived from
// ScanRule), built from subsection 0. The derived constructor binds its own
// further fields and registers its processors.
template <class Rule>
class ScannerSection : public Section {
public:
    // Rebuilds the rules from subsection 0, one per entry, in order,
    // disabled ones included.
    void update() override {
        rules.clear();
        for (const Item& item : subsections[0].items)
            rules.emplace_back(item);
    }

    // The rule that applies to the connection, or NULL: none while the
    // section is off or the connection bypasses the antivirus scanners;
    // else the first enabled rule whose lists match. The caller holds the
    // read lock.
    const Rule* find(const CONNECTION_T* connection) const {
        if (!rule_section_takes_part(*enabled, connection, BYPASS_ANTIVIRUS))
            return NULL;
        for (const Rule& rule : rules)
            if (rule.applies(connection))
                return &rule;
        return NULL;
    }

    // The buffer decision: 1 when a rule applies and the body is not a
    // cached copy that already passed the scanners, else 0. Takes the read
    // lock itself.
    int check_match(CONNECTION_T* connection) const {
        read_lock();
        bool applies = find(connection) != NULL;
        unlock();
        if (!applies)
            return 0;
        if (scan_cached_clean(connection)) {
            putlog(skip_category, "%scached file already checked for viruses", skip_prefix);
            return 0;
        }
        return 1;
    }

    // The block template for a rule: the rule's, else the section's, else
    // "virus" (block_page_choose); the caller holds the read lock.
    std::string template_for(const Rule& rule) const {
        return block_page_choose(rule.template_name, *template_name, SCAN_VIRUS_TEMPLATE);
    }

    std::list<Rule> rules;

protected:
    // Binds global field `enabled_position` (BOOL) and `template_position`
    // (STRING); checks that subsection 0 begins with `rule_types`. The skip
    // of a clean cached copy is logged as `skip_prefix` + "cached file
    // already checked for viruses" in `skip_category`.
    ScannerSection(const char* section_name, size_t enabled_position, size_t template_position,
                   const std::vector<int>& rule_types, int skip_category, const char* skip_prefix)
        : Section(section_name, SECTION_RWLOCK),
          enabled(&global_field(enabled_position, FIELD_BOOL).value),
          template_name(&global_field(template_position, FIELD_STRING).text),
          skip_category(skip_category),
          skip_prefix(skip_prefix) {
        subsection_at(0, rule_types);
    }
    ~ScannerSection() override { rules.clear(); }

    int* enabled;               // global "enabled"; 0 = client off
    std::string* template_name; // the section's block template; empty = none

private:
    int skip_category;
    const char* skip_prefix;
};
