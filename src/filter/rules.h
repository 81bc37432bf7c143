// The rule pattern the filter sections share: the URL filter, the URL black
// lists and the MIME filter follow it whole; the cookie and header filters
// use its order; the DNS block list, keyword scoring and limits its block
// action; every rule of every filter its scoping.
//
// 1. Rules. A rule is a plain class built from a configuration entry by field
//    position. Every filter entry begins with the same four fields, held by
//    RuleScope: 0 enabled, 1 comment, 2 groups, 3 profiles. A rule can match
//    only when it is enabled and both name lists admit the connection
//    (profile_find against CONNECTION_T::user_groups, then against
//    CONNECTION_T::profiles; an empty list admits everybody, "!name"
//    negates).
// 2. Patterns. A pattern field becomes a RulePattern when the rule is built,
//    compiled once (case-insensitive, searched anywhere in the text), never
//    per request. A pattern that does not compile is refused with a
//    ConfigError naming section, entry, field and value, so a load or a web
//    edit keeps the previous rules instead of building a rule that would
//    match everything. An empty pattern is absent: it matches every text.
//    Copies of a rule share the compiled pattern, which is read-only.
//    A section with many rules gathers the patterns of one field in a
//    RulePatternSet: one pass over the request's text tells which patterns
//    cannot match it (their required text is not there), and only the
//    others are searched. Substitution patterns (SubstitutionPattern, the
//    rewrite and redirect rules) are built, refused and shared alike.
// 3. Order. A section with an allow list (subsection 0) and a deny list
//    (subsection 1) decides in two passes (rule_order_decide):
//    ORDER_ALLOW_BY_DEFAULT tries the deny list first: no match passes, a
//    match refuses unless the allow list matches too. ORDER_DENY_BY_DEFAULT
//    (any value but 0) tries the allow list first: no match refuses (the
//    section's built-in default rule decides), a match passes unless the
//    deny list matches too. In each list the first matching rule counts.
// 4. Sections. RuleSection binds global field 0 (enabled) and 1 (order) and
//    rebuilds both lists in update(). A section takes no part when it is
//    switched off or the connection's CONNECTION_T::bypass has its bit.
// 5. Blocking. A refusal is decided under the section's read lock, and what
//    the page and the record need is copied into a BlockNotice there; the
//    section unlocks and only then calls block_send, so a slow client never
//    holds a section lock (update() and other requests go on). block_send
//    sets the template variables ("FILTER", "REASON" when there is one, the
//    section's own), sends the block template, then fills the access-log
//    record: filter name, reason ("-" when none), TCP_DENIED, DIRECT, peer
//    "kestrivan" and status 403; the client gets 403 too, unless the
//    template entry names a status of its own.
//    The block template is the deciding rule's, else the section's, else a
//    built-in name (block_page_choose).
// 6. Verdict pages. The URL commands that show which rule would decide
//    ("filter", "mime") build a VerdictPage: its head before the lock, the
//    deciding rule's entry under it, and send it after unlocking. Request
//    values (host, path) are HTML-escaped in the page.
// 7. Waiting. A rule test that needs something only a peer can tell (a
//    destination address, a DNS answer) returns RULE_PENDING under the lock;
//    the decision stops, the caller unlocks, asks the peer and decides again
//    with the answer in hand. No lock is held while a peer is waited for.
//
// Rules and sections hold no per-request state: any number of workers decide
// at once under the read lock.
#pragma once

#include <stddef.h>

#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/config_lists.h"
#include "config/section.h"
#include "core/regexp.h"
#include "filter/literal_index.h"

struct CONNECTION_T;
class Filebuf;

// The order value (global field 1 of a filter section).
enum {
    ORDER_ALLOW_BY_DEFAULT = 0,
    ORDER_DENY_BY_DEFAULT = 1,
};

// The list a rule is tested from, for tests whose answer depends on it.
enum rule_list_t {
    RULE_LIST_ALLOW,
    RULE_LIST_DENY,
};

// The result of one rule test.
enum rule_test_t {
    RULE_NO_MATCH = 0,
    RULE_MATCH = 1,
    RULE_PENDING = 2, // needs an answer from a peer first (see 7 above)
};

// Fields 0 to 3 of every filter entry.
class RuleScope {
public:
    // The built-in default rule's: enabled, every list empty.
    RuleScope();
    explicit RuleScope(const Item& item);

    // Enabled, and both name lists admit the connection.
    bool applies(const CONNECTION_T* connection) const;

    int enabled;
    std::string comment;
    StringList groups;   // against CONNECTION_T::user_groups
    StringList profiles; // against CONNECTION_T::profiles
};

// One pattern field of a rule (see 2 above).
class RulePattern {
public:
    RulePattern() = default;
    // The pattern of the entry's field at that position; ConfigError (naming
    // the entry) when it does not compile.
    RulePattern(const Item& item, size_t position);

    bool present() const { return compiled_ != nullptr; }
    // True when absent, or found anywhere in text (NULL reads as "").
    bool matches(const char* text) const;
    // The same, knowing what the scan of the pattern's set found in text
    // (RulePatternSet::scan): a pattern whose required text is not there is
    // not searched.
    bool matches(const char* text, const SlotSet& candidates) const;
    // Over `length` bytes, NUL bytes included (a body is searched whole).
    bool matches(const char* text, size_t length, const SlotSet& candidates) const;
    const std::string& text() const { return text_; }

private:
    friend class RulePatternSet;
    std::string text_;
    std::shared_ptr<const reg_pattern_t> compiled_;
    long slot_ = -1; // in its set, when it has a required text
};

// The options of the substitution patterns of rewrite and redirect rules:
// letters in either case, "^" and "$" at every line, "." across lines, and
// blanks and "#" comments in the pattern ignored.
enum { SUBSTITUTION_OPTIONS = PCRE_CASELESS | PCRE_MULTILINE | PCRE_DOTALL | PCRE_EXTENDED };

// One substitution pattern field of a rule: compiled once when the rule is
// built; refused like a RulePattern (ConfigError naming the entry) when it
// does not compile; an empty text is absent. Copies share the compiled
// pattern, which is read-only.
class SubstitutionPattern {
public:
    SubstitutionPattern() = default;
    SubstitutionPattern(const Item& item, size_t position, int options = SUBSTITUTION_OPTIONS);

    bool present() const { return compiled_ != nullptr; }
    const regex_sub_t* get() const { return compiled_.get(); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
    std::shared_ptr<const regex_sub_t> compiled_;
};

// The patterns of one field over a section's rules.
class RulePatternSet {
public:
    // Empties the set; the patterns added before keep stale slots, so the
    // set is rebuilt together with the rules (write lock held).
    void clear();
    // Takes a pattern in: one with a required text gets a slot, the others
    // are always searched.
    void add(RulePattern& pattern);
    void build();
    // The slots whose pattern may match text (NULL reads as "").
    void scan(const char* text, SlotSet& candidates) const;
    // The same over `length` bytes, NUL bytes included.
    void scan(const char* text, size_t length, SlotSet& candidates) const;

private:
    LiteralIndex index_;
    size_t count_ = 0;
};

// Whether a switched-on section takes part for the connection (its bypass
// bit is not set).
bool rule_section_takes_part(int enabled, const CONNECTION_T* connection, unsigned bypass_bit);

// The outcome of the two passes.
template <class Rule>
struct RuleVerdict {
    bool refused = false;
    // The rule that decided: the last one that matched. NULL when none did
    // (passed with ORDER_ALLOW_BY_DEFAULT, refused with the other order).
    const Rule* rule = nullptr;
    // A test answered RULE_PENDING: nothing was decided.
    bool pending = false;
};

// The two passes of 3 above. test(rule, list) answers for one rule,
// scoping included (RuleScope::applies).
template <class Rule, class Test>
RuleVerdict<Rule> rule_order_decide(int order, const std::list<Rule>& allow,
                                    const std::list<Rule>& deny, Test&& test) {
    const bool allow_first = order != ORDER_ALLOW_BY_DEFAULT;
    RuleVerdict<Rule> verdict;
    verdict.refused = allow_first;
    const std::list<Rule>* lists[2] = {allow_first ? &allow : &deny, allow_first ? &deny : &allow};
    const rule_list_t kinds[2] = {allow_first ? RULE_LIST_ALLOW : RULE_LIST_DENY,
                                  allow_first ? RULE_LIST_DENY : RULE_LIST_ALLOW};
    for (int pass = 0; pass < 2; ++pass) {
        const Rule* matched = nullptr;
        for (const Rule& rule : *lists[pass]) {
            rule_test_t result = test(rule, kinds[pass]);
            if (result == RULE_PENDING) {
                verdict.pending = true;
                return verdict;
            }
            if (result == RULE_MATCH) {
                matched = &rule;
                break;
            }
        }
        if (matched == nullptr)
            return verdict;
        verdict.rule = matched;
        verdict.refused = kinds[pass] == RULE_LIST_DENY;
    }
    return verdict;
}

// A filter section of the common shape: global fields 0 `enabled` (BOOL) and
// 1 `order` (STRING_SELECT_ONE), subsections 0 `allow` and 1 `deny` whose
// entries begin with the RuleScope fields. Rule is built from an entry
// (Rule(const Item&)). The subclass binds its own global fields, checks its
// entries' further field types and calls rules_rebuild() in update().
template <class Rule>
class RuleSection : public Section {
public:
    std::list<Rule> allow; // subsection 0, in configuration order
    std::list<Rule> deny;  // subsection 1

protected:
    RuleSection(const std::string& name, unsigned bypass_bit)
        : Section(name, SECTION_RWLOCK), bypass_bit_(bypass_bit) {
        enabled = &global_field(0, FIELD_BOOL).value;
        order = &global_field(1, FIELD_STRING_SELECT_ONE).value;
    }

    // Both lists afresh from the entries (write lock held). A rule that
    // cannot be built throws ConfigError and the lists stay as they were.
    void rules_rebuild() {
        std::list<Rule> new_allow, new_deny;
        for (const Item& item : subsections.at(0).items)
            new_allow.emplace_back(item);
        for (const Item& item : subsections.at(1).items)
            new_deny.emplace_back(item);
        allow.swap(new_allow);
        deny.swap(new_deny);
    }

    // Read lock held.
    bool takes_part(const CONNECTION_T* connection) const {
        return rule_section_takes_part(*enabled, connection, bypass_bit_);
    }

    // The two passes over this section's lists (read lock held).
    template <class Test>
    RuleVerdict<Rule> decide(Test&& test) const {
        return rule_order_decide(*order, allow, deny, test);
    }

    int* enabled; // global field 0
    int* order;   // global field 1

private:
    unsigned bypass_bit_;
};

// What a refusal shows and records, copied while the section is locked.
struct BlockNotice {
    std::string label;  // "FILTER"
    bool has_reason = false;
    std::string reason; // "REASON", when has_reason
    // The section's own variables, removed and then set.
    std::vector<std::pair<std::string, std::string>> variables;
    std::string page;             // the block template's name
    std::string filter_name;      // access-log filter name
    std::string log_reason = "-"; // access-log reason
};

// The block template: the rule's name, else the section's, else builtin.
std::string block_page_choose(const std::string& rule_page, const std::string& section_page,
                              const char* builtin);

// The block action of 5 above. Never called with a section lock held. When
// the client cannot be written to nothing is sent, but the record is filled
// all the same. A refusal is answered 403, as its record says, where
// `status` says 2xx (a 2xx would pass the page off as the resource, and
// open the tunnel for a CONNECT client); a template entry's own status wins
// and stays in the record. true: a page was sent.
bool block_send(CONNECTION_T* connection, const BlockNotice& notice, int status = 200);

// The page of a URL command that shows a section's verdict for the request:
// "<what> match for <host><path>" as its title and heading, then the deciding
// rule's entry, or "None" when the section would not refuse.
class VerdictPage {
public:
    // The head of the page (no lock needed).
    VerdictPage(CONNECTION_T* connection, const char* what);
    VerdictPage(const VerdictPage&) = delete;
    VerdictPage& operator=(const VerdictPage&) = delete;
    ~VerdictPage();

    // The verdict rows; under the section's read lock. A refusing rule shows
    // its entry (NULL entry: the built-in default rule); pass shows "None".
    void verdict(bool refused, const Item* item);
    // Closes the page and sends it as the whole 200 answer; after unlocking.
    void send();

private:
    CONNECTION_T* connection_;
    Filebuf* page_;
};
