// The F-Prot daemon exchange: the daemon serves HTTP on 127.0.0.1, on the
// first free port of 10200 to 10204. It is asked, by a GET whose path is the
// path of a file holding the body and whose query carries the scan options,
// and answers with an XML report.
//
// The report (only these parts are read): the document element
// "fprot-results"; its first child element "summary", whose text reads
// "infected" (case and surrounding blanks ignored) for an infected file,
// anything else for a clean one; and its first child element "detected",
// whose child element "name" holds the virus name.
//
// Contract:
// - Ports are tried in order only while nobody accepts the connection; the
//   first daemon that does decides, and no other daemon is asked after it
//   failed.
// - Every step has a time limit (connection, request, the whole report),
//   and the report may be at most FPROTD_REPORT_LIMIT bytes. No answer, a
//   cut or over-long answer, or a report without "fprot-results" and
//   "summary" is a failure, logged, never taken for clean.
// - A document type declaration with an internal subset is removed before
//   the report is parsed, so the parser never meets what it declares.
// - Nothing is kept between scans and no lock is taken.
#pragma once

#include <stddef.h>

#include <string>

// Where the daemon may listen.
constexpr int FPROTD_FIRST_PORT = 10200;
constexpr int FPROTD_PORTS = 5;
// Longest answer (header and report) read from the daemon.
constexpr size_t FPROTD_REPORT_LIMIT = 256 * 1024;

// What a report says.
enum {
    FPROT_REPORT_CLEAN = 0,
    FPROT_REPORT_INFECTED = 1,   // *virus_name: the name, empty when none
    FPROT_REPORT_UNPARSABLE = 2, // not a report this client understands
};

// Reads a report of `length` bytes (a NUL ends it early). For an infected
// file *virus_name receives the name, control characters shown as '?'
// (empty when the report names none).
int fprot_report_parse(const char* report, size_t length, std::string* virus_name);

// The report with every document type declaration that has an internal
// subset removed: "<!DOCTYPE" (any case), a "[" before any ">", and up to
// the first "]" after it, when a ">" follows that "]".
std::string fprot_report_strip_doctype(const std::string& report);

// Result of fprotd_scan.
enum {
    FPROTD_FAILED = -1, // no verdict (logged): the body was not judged
    FPROTD_CLEAN = 0,
    FPROTD_INFECTED = 1,
};

// Asks the daemon on the first of `port_count` ports from `first_port` that
// accepts to scan the file at `path` with the option words `options` (each
// ending in "%20"), waiting at most `timeout` seconds for each step.
// FPROTD_INFECTED fills *virus_name (empty: unnamed). Failures are logged at LOG_ANTIVIRUS.
int fprotd_scan(const std::string& path, const std::string& options, int first_port,
                int port_count, int timeout, std::string* virus_name);
