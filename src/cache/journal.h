// One line of a store's journal: its ten TAB-separated fields, formatted
// and parsed. No state, no lock.
//
//   flags  key  size  mtime  atime  minage  maxage  maxnoexp  lmfactor  md5
//   "%d"   "%s" "%zu" "%lu"  "%lu"  "%lu"   "%lu"   "%lu"     "%u"      "%s"
//
// Parsing splits at TABs, a run of TABs counting as one separator (so no
// field is empty), and drops the line's CR and LF. A line is taken when it
// has at least 5 fields and every number field present is all decimal
// digits within its range: a line torn by a crash, or damaged, is skipped
// rather than read as wrong sizes or times. Fields 6 to 9 count only when
// all four are present; field 10, the MD5 text, when present.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

struct CACHEMAP;

// Keys longer than this never go to a store (journal lines stay far below
// the 8192 bytes a line is read in).
constexpr size_t JOURNAL_KEY_MAX = 4096;
// Bytes a journal line is formatted and read in.
constexpr size_t JOURNAL_LINE_MAX = 8192;

struct JournalLine {
    unsigned flags;
    const char* key;
    uint64_t size;
    uint64_t mtime;
    uint64_t atime;
    bool has_freshness; // the four fields below were present
    uint64_t minage;
    uint64_t maxage;
    uint64_t maxnoexp;
    unsigned lmfactor;
    const char* md5; // NULL when the line has no tenth field
};

// A key that a journal line can hold: not empty, no TAB, CR or LF, at most
// JOURNAL_KEY_MAX characters.
bool journal_key_storable(const char* key);

// The object's fields as a journal line.
JournalLine journal_line_of(const CACHEMAP* object);

// Writes the line, without line end, into buffer and terminates it;
// returns its length, or 0 when it does not fit (nothing usable then).
size_t journal_format(const JournalLine& line, char* buffer, size_t size);

// Parses `text` in place (TABs and the line end are overwritten): true and
// the fields in `line` (pointing into text), or false for a line that is
// not taken (see above).
bool journal_parse(char* text, JournalLine* line);
