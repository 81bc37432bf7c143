// The clamd exchange: one body scanned over clamd's INSTREAM command, on its
// unix-domain socket or on TCP, and the reading of its answer.
//
// The exchange: "zINSTREAM\0", then the body in chunks, each preceded by its
// length as 4 bytes in network order, then a chunk of length 0. clamd
// answers one NUL-terminated line and closes: "stream: OK",
// "stream: <name> FOUND", or a text ending in "ERROR" (a body over clamd's
// StreamMaxLength gets "INSTREAM size limit exceeded. ERROR", and clamd
// closes the connection without reading the rest).
//
// Contract:
// - The verdict is the answer's last word (OK, FOUND, ERROR); anything else,
//   no answer, a connection that fails or a daemon that stays silent past
//   the time limit is a failure, logged, and never taken for clean.
// - The body is sent straight from its buffer; nothing is kept between
//   scans and no lock is taken.
#pragma once

#include <stddef.h>

#include <string>

class Filebuf;

// What clamd's answer says.
enum {
    CLAMD_REPLY_OK = 0,      // the body is clean
    CLAMD_REPLY_FOUND = 1,   // a signature matched; the name is returned
    CLAMD_REPLY_ERROR = 2,   // clamd could not scan the body
    CLAMD_REPLY_UNKNOWN = 3, // not an answer this client understands
};

// Reads one answer (length bytes; a NUL, CR, LF or blank at its end is not
// part of it). For FOUND, *virus_name receives the text between the
// answer's "stream: " prefix (the first ": ") and its last word, with
// control characters shown as '?'; a FOUND without a name gives "unknown".
int clamd_reply_parse(const char* reply, size_t length, std::string* virus_name);

// Result of clamd_scan.
enum {
    CLAMD_FAILED = -1, // no verdict (logged): the body was not judged
    CLAMD_CLEAN = 0,
    CLAMD_INFECTED = 1,
};

// Scans the body through the clamd at `address` (a path beginning with "/"
// for its unix-domain socket, else a host reached on TCP `port`), waiting at
// most `timeout` seconds for each step (connection, each send, the answer).
// CLAMD_INFECTED fills *virus_name. Every failure is logged at LOG_ANTIVIRUS
// (with a LOG_ADVICE line where the administrator can mend it), ending with
// "error: ClamAV: failed to check file for viruses".
int clamd_scan(const char* address, int port, const Filebuf* body, int timeout,
               std::string* virus_name);

// Largest chunk sent to clamd in one piece.
constexpr unsigned CLAMD_CHUNK = 65536;
// Longest answer read from clamd (a longer one is not understood).
constexpr unsigned CLAMD_REPLY_LIMIT = 1024;
