// Regular expressions (PCRE2 syntax, Perl-compatible), substitutions and
// @name@ template variables.
//
// Two layers stand side by side, both over PCRE2's native interface:
// - match only: reg_compile, reg_exec, reg_free, and reg_check for the
//   configuration's validation. Every pattern field of the configuration is
//   compiled through it, with REGEXP_ICASE, and matches anywhere in its text
//   (the options of PCRE2's POSIX wrapper: no multi-line, no dot-all). The
//   compiled pattern is opaque (reg_pattern_t) and, where the machine allows
//   it, compiled to machine code once, so a rule list searched on every
//   request costs little. reg_exec works in a match block of the calling
//   thread, never in one kept with the pattern: the POSIX wrapper keeps one
//   per pattern, and workers matching the same rule at once corrupt each
//   other's search (wrong verdicts, crashes).
// - substitution, over PCRE2's native interface: reg_sub_compile,
//   reg_sub_exec, reg_sub_parse, reg_replace and their free functions, used
//   to replace matches in bodies and headers by templates that refer to
//   captured groups ($0..$9, and the characters after '9' up to '?' for
//   groups 10 to 15) and to template variables (@name@).
//
// Templates are read in one pass: "$", "\" and "@name@" are recognised only
// in the template itself. The text they insert - captured groups and
// variable values, which may come from the client - is never read again, so
// a "$1", "\t" or "@VERSION@" inside a URL stays as it is.
//
// Nothing here keeps state or locks. Compiled patterns are read-only after
// compilation and may be used by many threads at once. Allocation failures
// are impossible states (fatal, source "src/regexp"). A pattern that does
// not compile is logged ("failed to compile regular expression: %s" at
// LOG_ERROR) and gives NULL; callers treat it as an absent pattern.
#pragma once

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <string>

#include "core/variable_map.h"

class Filebuf;

// A compiled match pattern.
struct reg_pattern_t;

// Flags of reg_compile.
enum {
    REGEXP_ICASE = 0x1, // matching ignores case
};

// Option bits of reg_sub_compile and pcre_options (mapped to PCRE2's own).
enum {
    PCRE_CASELESS = 0x1,
    PCRE_MULTILINE = 0x2,
    PCRE_DOTALL = 0x4,
    PCRE_EXTENDED = 0x8,
    PCRE_UNGREEDY = 0x200,
};

// A compiled substitution pattern, owned by the rule that compiled it.
struct regex_sub_t {
    pcre2_code* code;
    int jit; // 1 when the pattern was also compiled to machine code
};

// One match of a substitution pattern.
struct regmatch_sub_t {
    int start;            // offset of the match in the subject
    int end;              // offset one past the match
    int count;            // 1 for the whole match plus one per reported group
    PCRE2_UCHAR** groups; // entry 0 the whole match, entry n group n ("" when unset)
    PCRE2_SIZE* lengths;  // their lengths
};

using template_variables = VariableMap;

// New compiled pattern (REGEXP_* flags; callers pass REGEXP_ICASE), or NULL.
reg_pattern_t* reg_compile(const char* pattern, int flags);
// Whether the pattern compiles with these flags, logging nothing; on failure
// *reason (when not NULL) receives PCRE2's message and the offset.
bool reg_check(const char* pattern, int flags, std::string* reason);
// 0 when the pattern matches anywhere in text, non-zero otherwise.
int reg_exec(const reg_pattern_t* pattern, const char* text);
// The same over `length` bytes, NUL bytes included (a body is searched whole,
// not up to its first NUL).
int reg_exec_n(const reg_pattern_t* pattern, const char* text, size_t length);
// Frees a compiled pattern; NULL is an impossible state (fatal).
void reg_free(reg_pattern_t* pattern);

// Whether a substitution pattern compiles with these PCRE_* option bits,
// logging nothing; on failure *reason (when not NULL) receives PCRE2's
// message and the offset.
bool reg_sub_check(const char* pattern, int options, std::string* reason);
// New compiled substitution pattern (PCRE_* option bits), or NULL. The
// rewrite and redirect rules pass 15, the scanner that uses it 1.
regex_sub_t* reg_sub_compile(const char* pattern, int options);
// The first match in the NUL-terminated subject, or NULL (no match, or a
// matching error).
regmatch_sub_t* reg_sub_exec(const regex_sub_t* pattern, const char* subject);
// New text: the template expanded for this match. In the template:
//   "$$" -> "$"; "$" at the end -> "$"; "$c" -> group c-'0' when that is
//   below the match's count, else nothing;
//   "\\" -> "\", "\a" 0x07, "\e" 0x1B, "\f" 0x0C, "\n" 0x0A, "\r" 0x0D,
//   "\t" 0x09, "\c" -> c for any other c; a "\" at the end ends the text;
//   "@@" -> "@"; "@name@" (1 to 62 bytes other than '@') -> the variable's
//   value (nothing when unknown or empty; an unknown name is then added to
//   the map with an empty value); an '@' without a closing '@' within the
//   next 63 bytes stays as it is.
char* reg_sub_parse(const regmatch_sub_t* match, const char* template_text,
                    template_variables& variables);
// Replaces every match in the buffer by the expanded template (NULL
// template: deletes the matches); returns the number of matches. The subject
// is the whole buffer by its size (NUL bytes included); each search resumes
// at the end of the previous match within that one subject, so "^", "\b"
// and lookbehinds see the text before it. A match of zero length copies the
// next byte and the search resumes after it, so it never loops.
// Replacements are not searched again.
int reg_replace(Filebuf* buffer, const regex_sub_t* pattern, const char* template_text,
                template_variables& variables);
void reg_sub_match_free(regmatch_sub_t* match);
void reg_sub_free(regex_sub_t* pattern);

// Replaces the buffer's content by its expansion: "@@" -> "@", "@name@" by
// the rules of reg_sub_parse, every other byte as it is.
void variables_parse(template_variables& variables, Filebuf* buffer);

// Replaces every occurrence of search (NULL replacement: deletes it); the
// inserted text is not searched again. An empty search changes nothing.
// Returns 0.
int string_replace(Filebuf* buffer, const char* search, const char* replacement);

// PCRE_* bits of option letters in either case: i caseless, m multiline,
// s dot-all, x extended, u ungreedy; other letters are ignored.
int pcre_options(const char* letters);
