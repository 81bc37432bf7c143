// Figures of the process itself that the statistics page and the
// performance log show: memory sizes from /proc/self/statm and the CPU
// times and page faults the workers add to GLOBAL as they end.
//
// Contract:
// - statm_parse and statm_load give the seven numbers of /proc/self/statm
//   in file order, each multiplied by the unit asked for; every field is
//   64-bit, so no size of a large process is cut.
// - statm_load logs a file it cannot open or read (LOG_ERROR) and reports
//   failure by its result; a line with fewer than seven numbers is a
//   failure that logs nothing.
// - The stat_* callbacks are the value callbacks of the statistics group
//   "system"; they take GLOBAL::mutex only to copy the figures out.
#pragma once

#include <stdint.h>

struct statm_t {
    uint64_t size;     // total program size
    uint64_t resident; // resident set
    uint64_t share;    // shared pages
    uint64_t text;     // code
    uint64_t lib;      // library
    uint64_t data;     // data and stack
    uint64_t dt;       // dirty pages
};

// Parses the text of /proc/self/statm (pages) into `figures`, each number
// multiplied by `unit`; false when fewer than seven numbers parse.
bool statm_parse(const char* line, uint64_t unit, statm_t* figures);
// Reads /proc/self/statm, each figure multiplied by `unit` (bytes per page
// for bytes, its KB for KB); see above for failures. `log_failures` false
// keeps the error log quiet (the performance log samples every interval).
bool statm_load(statm_t* figures, uint64_t unit, bool log_failures = true);

// The system page size in bytes.
uint64_t system_pagesize();

// Value callbacks of the group "system".
char* stat_usertime(); // "HH:MM:SS.hh", new string
char* stat_systime();
uint64_t stat_size();     // bytes; 0 when statm cannot be read
uint64_t stat_resident();
uint64_t stat_share();
uint64_t stat_minflt();
uint64_t stat_majflt();
