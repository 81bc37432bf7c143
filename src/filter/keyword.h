// Configuration section "keywords-filtering": scores buffered response
// bodies by keyword rules and refuses those whose score reaches the
// threshold. Its constructor registers keyword_respcheck (response check),
// keyword_buffcheck (asks for the body to be buffered) and
// keyword_prerespmod (answers the URL command "score" with the score page).
//
// Contract (the scoping and block action of filter/rules.h, and):
// - A rule applies when RuleScope::applies holds and its Content-Type
//   pattern is absent or found in the response's whole Content-Type value
//   (parameters included; a response without one reads as ""). There is no
//   allow/deny order: every applicable rule whose body pattern is absent or
//   found in the body adds its signed score. Without a body, body patterns
//   are not tested. The sum is kept in 64 bits and saturates at the int
//   bounds, so a list of large scores never wraps to a small or negative
//   one.
// - The body is searched whole, NUL bytes included; a body in UTF-16 (byte
//   order mark, or a Content-Type charset naming it) is searched as its
//   UTF-8 text, so that neither a leading NUL nor a wide encoding lets a
//   page escape its keywords (see keyword_text.h). The body is never
//   changed.
// - A score of exactly 0 decides nothing and sets nothing. Otherwise
//   "THRESHOLD" and "SCORE" are set ("%d"), and a score >= threshold
//   (signed) is refused: "FILTER" "KeyWord Filter", "REASON" "score: %d
//   exceeded threshold: %d", logged "blocked: [IP: %s] score:%d
//   threshold:%d" at LOG_KEYWORDFILTER, the section's template or
//   "blocked", and the record "keyword-filter" with the score alone ("%d")
//   as its reason. Score and threshold come from one configuration (one
//   read lock); the page is sent after unlocking.
// - keyword_buffcheck asks for buffering only when an applicable rule has a
//   body pattern. The section switched off, or BYPASS_KEYWORD_FILTER set:
//   nothing is buffered or refused, and the score page shows 0.
// - A rule whose pattern does not compile is refused at load with a
//   ConfigError naming the entry (the previous rules stay).
#pragma once

#include <list>
#include <string>

#include "filter/rules.h"

struct CONNECTION_T;
class Filebuf;

// One rule, built from an entry by field position.
class Keyword : public RuleScope {
public:
    explicit Keyword(const Item& item);

    RulePattern mime_type; // field 4, searched in the Content-Type value
    RulePattern keyword;   // field 5, searched in the body
    int score;             // field 6
};

class KeywordSection : public Section {
public:
    KeywordSection();
    ~KeywordSection() override;
    // Rebuilds the rule list from subsection 0 (write lock held).
    void update() override;

    // True when some applicable rule has a body pattern.
    bool check_match(CONNECTION_T* connection);
    // The score of the body; body may be NULL.
    int check(CONNECTION_T* connection, const Filebuf* body);
    // Scores and, at or over the threshold, answers the client with the
    // block page; true when refused.
    bool check_and_block(CONNECTION_T* connection, const Filebuf* body);

    std::list<Keyword> rules; // subsection 0, in configuration order

private:
    // Read lock held.
    bool takes_part(const CONNECTION_T* connection) const;
    int score_locked(CONNECTION_T* connection, const Filebuf* body) const;

    int* enabled;               // global field 0
    int* threshold;             // global field 1
    std::string* template_name; // global field 2
    RulePatternSet keyword_patterns;
};

extern KeywordSection* keyword_section;

// The three registrations (see above).
int keyword_buffcheck(CONNECTION_T* connection, Filebuf* body);
int keyword_respcheck(CONNECTION_T* connection, Filebuf* body);
int keyword_prerespmod(void* connection, void* body);
