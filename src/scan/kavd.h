// The Kaspersky daemon exchange, over the daemon's unix-domain socket: the
// body goes into a temporary file (mode 0600, removed when the exchange
// ends, whatever its outcome), the daemon is given its path in one command
// line, "SCAN xmQPRSTUWabcdefghi <path>\r\n", and answers with reply lines
// that each begin with a three-digit code, until a final code; the client
// then says "QUIT\r\n".
//
// Reply codes: 201, 321 and 325 report progress; 322 carries a virus name
// (the text one character after the code, up to the first blank or the line
// end, at most KAVD_NAME_LIMIT characters; the last one counts); 220 is the
// final "clean" and 230 the final "infected".
//
// Contract:
// - Only a final code is a verdict. A daemon that closes, fails, stays
//   silent past the time limit (counted from the command, for all its
//   lines), sends a line longer than KAVD_LINE_LIMIT or a code this client
//   does not know gives no verdict: logged, never taken for clean.
// - Nothing is kept between scans and no lock is taken.
#pragma once

#include <stddef.h>

#include <string>

class Filebuf;

// Longest reply line read, and longest virus name taken from one.
constexpr size_t KAVD_LINE_LIMIT = 1024;
constexpr size_t KAVD_NAME_LIMIT = 127;

// What one reply line says.
enum {
    KAVD_LINE_PROGRESS = 0, // 201, 321, 325: read on
    KAVD_LINE_NAME = 1,     // 322: *virus_name set; read on
    KAVD_LINE_CLEAN = 2,    // 220
    KAVD_LINE_INFECTED = 3, // 230
    KAVD_LINE_UNKNOWN = 4,  // any other line
};

// Reads one reply line of `length` bytes (its line end may be included).
// For 322, *virus_name receives the name with control characters shown as
// '?' (empty when the line carries none).
int kavd_reply_line(const char* line, size_t length, std::string* virus_name);

// Result of kavd_scan.
enum {
    KAVD_FAILED = -1, // no verdict (logged): the body was not judged
    KAVD_CLEAN = 0,
    KAVD_INFECTED = 1,
};

// Scans the body through the daemon on the unix-domain socket `socket_path`,
// waiting at most `timeout` seconds for each step. KAVD_INFECTED fills
// *virus_name (empty when no 322 line named it). Failures are logged at
// LOG_ANTIVIRUS, ending with "error checking file for viruses".
int kavd_scan(const char* socket_path, const Filebuf* body, int timeout,
              std::string* virus_name);
