// The Sophie daemon exchanges.
//
// - Unix-domain socket: the body goes into a temporary file in a private
//   directory (scan/scanner.h ScanTempFile::create_shared), removed when the
//   exchange ends, whatever its outcome. The client writes the file's path
//   and "\n"; the daemon reads the file and answers one line.
// - TCP (a daemon on another host, which cannot read our files): the client
//   announces "<name>/<size>\n" (a name of its own, "kestrivan-sophie."
//   and a number), the daemon answers a line beginning "OK", the client
//   sends the body's bytes straight from memory and the daemon answers one
//   line.
//
// An answer beginning "1" reports a virus, whose name starts at its third
// character; one beginning "-" (on the socket: "-1") an error; one
// beginning "0" a clean file.
//
// Contract:
// - Over the socket, the directory and file are given to the group that
//   owns the daemon's socket (the daemon's group), readable by nobody else.
// - Every step has a time limit; an answer is at most SOPHIED_ANSWER_LIMIT
//   bytes. No answer, an error answer or one this client does not
//   understand is a failure, logged, never taken for clean.
// - Names are resolved through the proxy's own resolver (never
//   gethostbyname on a worker); the descriptor is closed exactly once.
// - Nothing is kept between scans and no lock is taken.
#pragma once

#include <stddef.h>

#include <string>

class Filebuf;

// Longest answer line read from the daemon.
constexpr size_t SOPHIED_ANSWER_LIMIT = 511;

// What an answer line says.
enum {
    SOPHIE_ANSWER_CLEAN = 0,
    SOPHIE_ANSWER_VIRUS = 1,   // *virus_name: the name (may be empty)
    SOPHIE_ANSWER_ERROR = 2,
    SOPHIE_ANSWER_UNKNOWN = 3, // none of the three
};

// Reads one answer of `length` bytes (its line end may be included); for a
// virus *virus_name receives the name with control characters shown as '?'.
int sophie_answer_parse(const char* answer, size_t length, std::string* virus_name);

// Result of the scans.
enum {
    SOPHIED_FAILED = -1, // no verdict (logged): the body was not judged
    SOPHIED_CLEAN = 0,
    SOPHIED_INFECTED = 1,
};

// Scans the body through the daemon on the unix-domain socket `socket_path`,
// waiting at most `timeout` seconds for each step. SOPHIED_INFECTED fills
// *virus_name. Failures are logged at LOG_ANTIVIRUS.
int sophied_scan_socket(const char* socket_path, const Filebuf* body, int timeout,
                        std::string* virus_name);

// The same through the daemon at host:port over TCP.
int sophied_scan_tcp(const char* host, int port, const Filebuf* body, int timeout,
                     std::string* virus_name);
