// The road of one request on a client connection: reading and parsing the
// request header, keep-alive, URL commands, profiles, the request body,
// access control and authentication, limits, redirects, header filtering,
// the request-type gate, transparent completion, request checks, the cache
// lookup, the route to the upstream and the dispatch to the exchange.
//
// Contract:
// - Runs on the worker that owns the connection; takes `threadlistlock` only
//   to update the worker's slot.
// - Every stop that sends no answer drops the client keep-alive
//   (CONNECTION_T::client_keepalive 0), so the worker closes the connection;
//   refusals the road decides itself fill the access-log record and write it
//   to the native and the extended access log.
// - What the request opened (body, headers, upstream socket, cache object,
//   URL commands) stays on the connection for the reset after the request.
// - Request framing that could be read two ways (two lengths, a length with
//   chunked, chunked not last, folded lines) is refused by the header parser
//   with its status and the connection closed.
#pragma once

struct CONNECTION_T;

// Serves one request on the connection (a worker calls it once per
// request); its result is nothing.
void handle_request(CONNECTION_T* connection);

// Applies the "bypass" URL command to CONNECTION_T::bypass when the access
// rule grants ACCESS_BYPASS: without options every bit is set; with options
// "+" switches to setting, "-" to clearing, and the letters a c d e f h i k
// m p r w set or clear their bit; other characters are ignored. Returns 1
// when the bits were changed by a command, else 0.
int bypass_check(CONNECTION_T* connection);
