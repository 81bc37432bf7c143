// Configuration section "header-filtering": removes header lines from a
// request before it goes upstream and from a response before it goes to the
// client, and adds configured lines. It neither blocks nor answers: the
// outcome is the header's filtered_lines list with HEADER_FILTERED set,
// which the serialiser then writes in place of the lines as received.
//
// Contract (the scoping and two-pass order of filter/rules.h, and):
// - The road calls filter() once per request (HEADER_RULE_CLIENT, after the
//   redirect rules let the request go on) and once per HTTP response header
//   (HEADER_RULE_SERVER, before the MIME filter). Nothing is registered.
// - The unit decided is one line: allow rules (subsection 0) keep lines,
//   deny rules (subsection 1) remove them, in the section's order. A rule
//   matches a line when it is enabled, its direction has the side's bit, its
//   name lists admit the connection, and its name and value patterns are
//   found in the line's name (as received) and value (an empty pattern
//   matches every text). There is no default rule and no page.
// - Insert rules (subsection 2) add the line {name, value} (written as
//   received, after the kept lines) when they are enabled, admit the side
//   and the connection, and both texts are non-empty; they are texts, never
//   patterns.
// - Lines of the fields the proxy writes from the HEADER itself (Host,
//   Content-Length, User-Agent, Referer, ...; passthrough 0) go out from
//   those fields whatever the filter decides about them.
// - Logs at LOG_HEADER "removed: from <client|server>: <name>: <value>" and
//   "added: to <client|server>: <name>: <value>"; the values of Cookie,
//   Set-Cookie, Authorization and Proxy-Authorization lines are written as
//   "***" (header_secret_name).
// - The lines as received (HEADER::lines) are never changed. When no line
//   is removed and none added the header is left as it was (the serialiser
//   writes the same lines either way), so a request no rule touches costs no
//   copy.
// - Locks: filter() holds the read lock for the whole call (no I/O but the
//   log); update() runs under the write lock (configuration framework). A
//   name or value pattern that does not compile refuses the load or edit.
#pragma once

#include <list>
#include <string>

#include "filter/rules.h"

struct CONNECTION_T;
struct HTTP_HEADER;

// Which header a header rule works on (a rule's direction is a mask of
// both), and the side HeaderSection::filter is called for.
enum {
    HEADER_RULE_CLIENT = 0x1, // the request header, going to the server
    HEADER_RULE_SERVER = 0x2, // the response header, going to the client
};

// One header rule, built from an entry by field position.
class Header : public RuleScope {
public:
    // How the name and value fields are read.
    enum kind_t {
        PATTERNS, // allow and deny rules: patterns searched in a line
        LINE,     // insert rules: the line to add
    };
    explicit Header(const Item& entry, kind_t kind = PATTERNS);

    // The name lists admit the connection and the direction has the side.
    bool applies_to(const CONNECTION_T* connection, int side) const;
    // Allow and deny rules: applies_to() and both patterns are found.
    bool matches(const CONNECTION_T* connection, int side, const HTTP_HEADER& line) const;

    RulePattern name;       // field 4 (PATTERNS)
    RulePattern value;      // field 5 (PATTERNS)
    std::string line_name;  // field 4 (LINE)
    std::string line_value; // field 5 (LINE)
    int direction;          // field 6: HEADER_RULE_* bits
};

class HeaderSection : public RuleSection<Header> {
public:
    HeaderSection();
    // Rebuilds the allow, deny and insert lists (write lock held).
    void update() override;
    // Filters the request (side HEADER_RULE_CLIENT) or response (any other
    // side) header of the connection; a missing header is left alone.
    void filter(CONNECTION_T* connection, int side);

    std::list<Header> insert; // subsection 2, in configuration order
};

extern HeaderSection* header_section;
