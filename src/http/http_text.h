// Small fixed vocabularies and text forms shared by the protocol code: the
// reason phrase of a status code, the page template that answers a failed
// upstream connection, the ls-style permission column of FTP listings and
// the argument of the FTP PORT command. No state, no lock.
//
// Texts returned as `const char*` are constants; `char*` and the socket
// address of ftpport_parse are new (xmalloc) and belong to the caller (free).
// Allocation failure is an impossible state (fatal-error sequence).
#pragma once

#include <netinet/in.h>

// Reason phrase for the status line ("HTTP/1.1 %d %s\r\n", ICAP alike):
// the standard phrase of every status code of RFC 9110 (and 428, 429, 431,
// 511 of RFC 6585); "Unknown" for any other code.
const char* code_to_error(int code);

// Page template for a negative result of opening the upstream connection:
// -2 "noconnect", -3 "nodns", -4 "badauth", anything else "unknown".
const char* error_to_template(int code);

// Permission bits (POSIX mode values, set-id and sticky included) of a
// 10-character ls mode text such as "-rwsr-Sr-t"; 0 for a shorter text.
// Position 3 's' is set-user-id with execute, position 6 'S' set-group-id
// with execute, position 9 't' sticky with execute.
unsigned mode_parse(const char* text);

// New 10-character mode text for the bits, with the letters mode_parse reads.
char* mode_create(unsigned bits);

// New "h1,h2,h3,h4,p1,p2" text of an IPv4 socket address (address bytes in
// network order, then the port's high and low byte).
char* ftpport_create(const struct sockaddr_in* address);

// New IPv4 socket address from a PORT argument or the text after "(" of a
// passive-mode reply: exactly six comma-separated numbers (empty fields are
// skipped; each number is read like atoi, so a trailing ")" is ignored).
// NULL for any other text.
struct sockaddr_in* ftpport_parse(const char* text);
