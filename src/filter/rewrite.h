// Configuration section "rewrite": regular-expression substitutions on text
// in transit - the raw request header as the client sent it, the raw
// response header as the server sent it, the buffered request body and the
// buffered (decoded) response body. It never refuses anything.
//
// Contract:
// - The constructor registers, in this order, rewrite_reqmod
//   (PROCESSOR_REQMOD), rewrite_respmod (PROCESSOR_RESPMOD),
//   rewrite_buffcheck (PROCESSOR_BUFFCHECK), rewrite_reqheader
//   (PROCESSOR_REQHEADER) and rewrite_respheader (PROCESSOR_RESPHEADER).
// - A rule applies to a target (one REWRITE_* bit) when it is enabled, its
//   targets have the bit, its profile list admits the connection
//   (profile_find on CONNECTION_T::profiles; rules have no group list) and,
//   while the connection has a parsed request and the rule a content-type
//   pattern, that pattern is found in the response's Content-Type for
//   REWRITE_BODY ("" when it has none) and in "" for the other targets.
// - rewrite_do applies every such rule that has a substitution pattern, in
//   order, each to what the previous left: every match is replaced by the
//   replacement expanded for it ($n the groups, @NAME@ the template
//   variables, backslash escapes; empty: the match is deleted). The text is
//   the whole buffer by its size, so a NUL byte in a body is matched like
//   any other byte; a header's terminating NUL stays out of the subject and
//   is put back. A rule that matched logs "<pattern> matched <n> times in
//   <client header|server header|body|post body>" at LOG_REWRITE.
// - rewrite_buffcheck asks for the response body to be buffered only when a
//   body rule with a pattern applies to the connection.
// - Section off, or the connection's BYPASS_REWRITE: nothing changes and
//   nothing is buffered for it.
// - Locks: rules are applied under the read lock (no I/O but the log);
//   update() runs under the write lock. A content-type or substitution
//   pattern that does not compile refuses the load or edit.
#pragma once

#include <list>
#include <string>

#include "config/config_lists.h"
#include "filter/rules.h"

struct CONNECTION_T;
class Filebuf;

// What a rule rewrites (field 6, bits), and the target of rewrite_do.
enum {
    REWRITE_CLIENT_HEADER = 0x1, // the request header text as received
    REWRITE_SERVER_HEADER = 0x2, // the response header text as received
    REWRITE_BODY = 0x4,          // the buffered response body
    REWRITE_POST_BODY = 0x8,     // the buffered request body
};

// One rewrite rule, built from an entry by field position.
class Rewrite {
public:
    explicit Rewrite(const Item& entry);

    // Whether the rule applies to the target for the connection (see above).
    bool applies(const CONNECTION_T* connection, int type) const;

    int enabled;                 // field 0
    std::string comment;         // field 1
    StringList profiles;         // field 2
    RulePattern mime_type;       // field 3
    SubstitutionPattern pattern; // field 4; absent: the rule changes nothing
    std::string replacement;     // field 5
    int targets;                 // field 6: REWRITE_* bits
};

class RewriteSection : public Section {
public:
    RewriteSection();
    // Rebuilds the rule list (write lock held).
    void update() override;
    // Applies the rules for one target to the text in place; 1 when some
    // rule with a pattern applied (whether or not it matched), else 0.
    int rewrite_do(CONNECTION_T* connection, Filebuf* text, int type);
    // 1 when some rule with a pattern applies to the target.
    int check_match(CONNECTION_T* connection, int type);

    std::list<Rewrite> rules; // subsection 0, in configuration order

private:
    int* enabled; // global field 0
};

extern RewriteSection* rewrite_section;

// The processors: the request body (only when not empty; always 0, so the
// later request-body processors run), the response body, the buffering
// decision (check_match for REWRITE_BODY), the raw request header and the
// raw response header (each 1).
int rewrite_reqmod(CONNECTION_T* connection, Filebuf* body);
int rewrite_respmod(CONNECTION_T* connection, Filebuf* body);
int rewrite_buffcheck(CONNECTION_T* connection, Filebuf* buffer);
int rewrite_reqheader(CONNECTION_T* connection, Filebuf* text);
int rewrite_respheader(CONNECTION_T* connection, Filebuf* text);
