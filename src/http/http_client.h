// The internal HTTP client: GET requests the proxy makes for itself (a
// configuration given as a URL, a master's configuration, another
// instance's DN cache).
//
// Contract:
// - http_fetch runs in the calling thread on a connection record of its own
//   that has no client (CONN_NO_CLIENT | CONN_INTERNAL), directly to the
//   URL's server: a pooled upstream socket for the same server when there
//   is one, else a new connection (TLS for https). It sends one request:
//   "GET" of the URL's path over HTTP/1.1 with a Host line, the caller's
//   header lines (copied) or the one default User-Agent line, and Basic
//   credentials when the URL carries a user part (percent-decoded). A
//   pooled socket the server had closed is replaced and the request sent
//   again. Each wait lasts at most 60 seconds.
// - The response header is parsed by the common response parser; the body
//   is read by its framing (Content-Length, chunked, or up to the close;
//   none for 1xx, 204 and 304). A body cut short, a broken chunk, or a body
//   over HTTP_CLIENT_BODY_MAX bytes fails the fetch, so a caller never takes
//   half a document for a whole one. A socket the server keeps alive goes
//   back to the server pool afterwards.
// - Nothing here keeps state or locks; the server pool locks itself.
#pragma once

#include <string>

#include "http/header.h"

class Filebuf;
struct URL;

// Largest body a fetch accepts, in bytes.
constexpr unsigned HTTP_CLIENT_BODY_MAX = 256u << 20;

// One response: both parts owned by the record (httpresponse_free).
struct HTTPRESPONSE {
    HEADER* header;
    Filebuf* body; // never NULL; empty when the response had no body
};

// GET of an http or https URL. NULL when no connection could be made, no response header could be read
// or parsed, or the body could not be read whole (all logged).
HTTPRESPONSE* http_fetch(const URL* url, const HeaderLines* lines);

// Frees header, body and record; NULL is ignored.
void httpresponse_free(HTTPRESPONSE* response);

// GET of an http URL given as text (a user and password in it travel as
// Basic credentials). Returns 1 when a response came, with its status in
// *status and, for status 200, a new Filebuf holding the body in *body
// (owned by the caller; NULL for other statuses); 0 when the URL does not
// parse or no response could be read.
int http_fetch_document(const std::string& url, int* status, Filebuf** body);
