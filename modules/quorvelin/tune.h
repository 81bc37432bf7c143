// The image filter's tune table: which engine sensitivity a rule's score
// threshold asks for. Thresholds are on the score scale (-10 harmless to 10
// most objectionable), strictly ascending; each has one sensitivity of the
// engine, strictly descending (a lower threshold asks for a more sensitive
// engine).
//
// The table is read once at start-up from the tune file "quorvelin.tune" in
// the engine's directory; every fault leaves the default table in force and
// is logged. A tune file holds two lines, each a letter, "=" and values
// separated by ":":
//   T=-10:-2:0:2:10     thresholds
//   E=100:85:75:65:50   engine sensitivities
// Only lines beginning with "T" or "E" and holding "=" count; a later line
// of a letter replaces an earlier one; every other line is ignored. Values
// read like atoi (leading blanks skipped, trailing text ignored, no number
// gives 0).
//
// Nothing here locks: the table is written on the start-up thread before
// any worker runs and only read afterwards.
#pragma once

#include <stddef.h>

constexpr int TUNE_MAX = 50;              // entries a table holds
constexpr size_t TUNE_FILE_MAX = 65536;   // bytes a tune file may have

struct TuneTable {
    int count;                    // entries in use, 1 to TUNE_MAX
    int thresholds[TUNE_MAX];     // strictly ascending
    int sensitivities[TUNE_MAX];  // strictly descending

    // The default: thresholds -10, -2, 0, 2, 10 with 100, 85, 75, 65, 50.
    void set_default();
    // The engine sensitivity for a threshold: the first sensitivity at or
    // below the first threshold, the last at or above the last, and in
    // between linear between the two neighbouring entries, truncated
    // toward zero.
    int sensitivity(float threshold) const;
};

// Reads a tune text into the table. `path` names the file in the messages.
// 0 when the text was taken (logged "tuned from file"); -1 after logging
// what is wrong, the table then unchanged: no "T" or "E" values, lists of
// different lengths, more than TUNE_MAX values, thresholds not strictly
// ascending, sensitivities not strictly descending.
int tune_parse(const char* text, size_t length, const char* path, TuneTable* table);

// Reads the tune file at `path` into the table: 0 when taken, -1 when the
// file is missing, unreadable, larger than TUNE_FILE_MAX or refused by
// tune_parse (each logged; the table then unchanged).
int tune_read(const char* path, TuneTable* table);
