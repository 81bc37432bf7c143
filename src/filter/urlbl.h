// Configuration section "urlblacklist": refuses requests whose host (and,
// for some entries, path) a black-list database lists in one of the
// categories a rule names. A request-check processor (urlbl_reqcheck,
// registered by the constructor), run after the URL filter and the DNS
// block list.
//
// The database is a directory with one subdirectory per category, read once
// at start-up by load() (a change takes effect at the next start). A category
// directory may hold two text files of one entry a line:
// - "domains": a domain listed whole: every path of it and of every
//   subdomain;
// - "urls": a domain and a path prefix joined by "/" ("example.test/ads");
//   the paths of the domain and its subdomains that begin with the prefix
//   (in any letter case) are listed. A line without "/" lists the whole
//   domain. A domain listed in "domains" ignores its "urls" lines.
// Entries are cleaned when read, as the files come from many hands: blanks
// and carriage returns around them are dropped, domains are lower-cased
// (request hosts are) and stray dots removed; empty lines are skipped. A
// domain is cut at URLBL_DOMAIN_MAX characters, a line at URLBL_LINE_MAX
// (the rest of a longer line is skipped, never read as a line of its own).
//
// Contract (the common rule pattern of filter/rules.h, and):
// - A rule matches, after its scoping, when the database lists the request's
//   host in one of the rule's categories: the categories are tried in name
//   order, and for each the host's suffixes from the shortest ("test",
//   "example.test", "www.example.test"); the first listed one decides. A
//   rule without categories, or whose categories are not in the database,
//   never matches; with an empty database no rule matches at all.
// - Every rule match, in either list and before the verdict is known, sets
//   "FILTER" ("URL BlackList") and "CATEGORY" (the matched category), drops
//   "REASON", logs "[IP:%s] match found in %s category" at LOG_URLBLACKLIST
//   and names "urlbl" and the category in the access-log record: a request
//   that an allow rule lets through still shows where it was listed.
// - A refusal: logged "blocked %s%s" (host, path); the page is the rule's
//   template, else the section's, else "blacklisted"; the record says
//   "urlbl", the category ("-" when the built-in default rule refused),
//   TCP_DENIED, DIRECT, "kestrivan", 403. A request without a host gets no
//   verdict. The page is sent after the section is unlocked.
// - Locks: check() runs under the read lock its caller holds;
//   check_and_block() takes it itself. load() reads the directory without
//   the lock and swaps the result in under the write lock. The database never
//   changes after start-up, so a page walking it under the read lock sees it
//   whole.
#pragma once

#include <stdio.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "filter/rules.h"

struct CONNECTION_T;
class Filebuf;

// The longest domain and line the database keeps.
constexpr size_t URLBL_DOMAIN_MAX = 511;
constexpr size_t URLBL_LINE_MAX = 1023;

// The domains of one category: each with its path prefixes in file order
// (duplicates kept); an empty list lists the whole domain.
typedef std::map<std::string, std::vector<std::string>, std::less<>> URLBLDomains;
// Categories by name.
typedef std::map<std::string, URLBLDomains, std::less<>> URLBLDatabase;

// Reads one list file into a category: `urls` false for a "domains" file,
// true for a "urls" file (see above).
void urlbl_read_list(FILE* file, bool urls, URLBLDomains& category);

// One black-list rule, built from an entry by field position.
class URLBL : public RuleScope {
public:
    // The built-in default rule: enabled, no categories.
    URLBL() = default;
    explicit URLBL(const Item& entry);

    std::vector<std::string> categories; // field 4, in name order, each once
    std::string template_name;           // field 5; empty: the section's
};

class URLBLSection : public RuleSection<URLBL> {
public:
    URLBLSection();
    // Rebuilds both rule lists (write lock held); the database stays.
    void update() override;
    // Reads the database directory (global field 2); start-up calls it once.
    void load();

    // The deciding rule (a deny rule or default_rule) when the request is to
    // be refused, NULL when it passes or gets no verdict; records every rule
    // match on the connection (see above). Read lock held.
    const URLBL* check(CONNECTION_T* connection) const;
    // 1 when the request was refused and its block page sent, else 0.
    int check_and_block(CONNECTION_T* connection);

    std::string* directory;     // global field 2
    std::string* template_name; // global field 3: the section's block page
    URLBL default_rule;
    URLBLDatabase database;

private:
    // The first of the rule's categories that lists the host (labels joined
    // by single dots) and path, or NULL.
    const std::string* listing(const URLBL& rule, std::string_view host,
                               const char* path) const;
};

extern URLBLSection* urlbl_section;

// The request-check processor: check_and_block of urlbl_section (the buffer
// is not used).
int urlbl_reqcheck(CONNECTION_T* connection, Filebuf* buffer);
