// Header I/O: the serialiser that turns a HEADER back into wire text in one
// of three send modes, the sender, the reader of one header block from a
// socket, the Via and X-Cache updates and the header template variables.
//
// Everything runs on the worker that owns the connection; the cookie filter
// takes its own section lock.
//
// Serialiser guarantees: the text is built whole in one buffer and never
// cut; a CR or LF inside a name, value or start-line piece is written as a
// blank, so no field can add lines to the header; a chunked message never
// also carries Content-Length.
//
// Reader limits: at most HEADER_BLOCK_MAX characters of header lines. A
// block that would grow beyond it is refused, never cut: header_get returns
// NULL and reports 414 when the first line alone does not fit, else 431.
// The rest of the refused block stays unread, so the caller answers and
// closes the connection.
#pragma once

#include <string>

#include "core/regexp.h"
#include "http/header.h"

class Filebuf;
class CookieHeader;
struct CONNECTION_T;

// Send modes.
enum {
    HEADER_SEND_ORIGIN = 0,   // request to an origin server (origin-form line)
    HEADER_SEND_PARENT = 1,   // request to a parent proxy (absolute URL or CONNECT)
    HEADER_SEND_RESPONSE = 2, // response to the client
};

// Sides of a connection: CONNECTION_T::client and CONNECTION_T::server.
enum {
    SIDE_CLIENT = 0,
    SIDE_SERVER = 1,
};

// Most characters of header lines header_get reads.
enum { HEADER_BLOCK_MAX = 16382 };

// What the serialiser takes from the connection besides the header.
struct header_send_context_t {
    const HEADER* request = nullptr;   // the connection's request, or NULL
    const char* parent_auth = nullptr; // Proxy-Authorization for a parent
    int client_keepalive = 0;          // keep the client connection open
    // Asks the cookie filter about one cookie (direction COOKIE_INCOMING or
    // COOKIE_OUTGOING); 1 passes, 0 drops the line. NULL lets every cookie
    // pass.
    int (*cookie_check)(void* argument, int direction, CookieHeader& cookie) = nullptr;
    void* cookie_argument = nullptr;
};

// Whether a header line of this name (`length` characters, compared without
// case) carries a secret whose value never goes to a log: Cookie,
// Set-Cookie, Cookie2, Set-Cookie2, Authorization, Proxy-Authorization.
bool header_secret_name(const char* name, size_t length);

// The header text for a log line: the values of the lines that carry
// secrets (header_secret_name) are written as "***"; every other byte as it
// came.
std::string header_text_for_log(const char* text);

// Appends the wire text of the header to out (see the modes above).
void header_serialise(Filebuf* out, const HEADER* header, const header_send_context_t& context,
                      int mode);

// The same with the context taken from the connection (its request, parent
// credentials, client keep-alive and the cookie filter).
void header_send_filebuf(Filebuf* out, HEADER* header, CONNECTION_T* connection, int mode);

// An empty buffer for one header's text, kept by the calling thread from
// one header to the next. It is the one header_send and header_hold_for_body
// use: its text lasts until this thread's next call of either or of this.
Filebuf& header_text_buffer();

// Serialises the header and writes it to the side's socket, then flushes
// that socket. On SIDE_CLIENT nothing is done while CONN_NO_CLIENT is set.
void header_send(HEADER* header, CONNECTION_T* connection, int side, int mode);

// Serialises the client header and queues it on the client socket, to
// leave in one send with the first body bytes the relay writes (its closing
// Flush sends it at the latest). For a body whose first bytes already wait
// in the server socket, so that nothing holds the header back for long.
// Nothing is done while CONN_NO_CLIENT is set.
void header_hold_for_body(HEADER* header, CONNECTION_T* connection, int mode);

// Answers the client "302" with `location` and no body (Content-Length 0),
// through header_send.
void header_send_redirect(CONNECTION_T* connection, const std::string& location);

// Reads one header block from the side's socket, watching the other socket
// too: data arriving there is buffered in that socket; when the client
// fails while the server is read, the reading stops; when the server fails
// while the client is read, the server socket is deleted and
// CONNECTION_T::server becomes NULL. `timeout` in seconds, 0 or less for
// none. Blank lines before the first line are skipped. Returns the new text
// with "\r\n" closing it, or the text read so far when the peer closed,
// failed or the time ran out before the empty line (without the closing
// "\r\n"), or NULL when nothing was read or the block was refused. `refusal`
// (when not NULL) receives 0, or 414/431 for a refused block, or 400 for a
// client's header holding a NUL byte.
char* header_get(CONNECTION_T* connection, int side, int timeout);
char* header_get(CONNECTION_T* connection, int side, int timeout, int* refusal);

// The request's Via becomes "<old>, <interface>:<port> (Kestrivan <version>)",
// or without "<old>, " when it had none; the version is the template
// variable "VERSION".
void via_header_update(CONNECTION_T* connection);

// The response's X-Cache becomes "<old>, <HIT|MISS> from Kestrivan <version>"
// ("HIT" for miss 0), or without "<old>, " when it had none.
void xcache_header_update(CONNECTION_T* connection, int miss);

// Sets, for each line, the variable prefix + "[" + lower-case name + "]"
// (name at most 1023 characters) to the line's value; a later line of the
// same name wins.
void header_variables(template_variables& variables, const std::string& prefix,
                      const HeaderLines& lines);
void header_variables(CONNECTION_T* connection, std::string prefix, HeaderLines& lines);
