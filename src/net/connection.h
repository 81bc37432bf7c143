// CONNECTION_T: the record of one client connection and of the request
// being served on it. A plain record with public fields: the network layer
// creates it for an accepted socket, the worker threads serve requests on
// it, and every stage of the request road records its decisions in it.
// Connections the proxy makes for itself (internal fetches, prefetching,
// ICAP) use the same record with `client` NULL.
//
// Ownership: a connection belongs to exactly one party at a time - the
// accept loop, the client pool, or the one worker serving it - and whoever
// holds it closes it (net_close). The record has no lock; the hand-over
// between the client pool and the workers goes through the thread table
// under `threadlistlock`. Pointers are owned by the record unless noted.
//
// Life cycle: connection_new -> numbered by the accept loop -> client pool
// -> worker: one request at a time, each ending with connection_reset ->
// kept alive (back to the client pool) or closed with net_close.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "config/config_lists.h"
#include "core/access_log.h"
#include "core/variable_map.h"

class Socket;
struct HEADER;
class Filebuf;
struct url_command_t;
class Stats;
class HTMLStream;
struct CACHEMAP;

// CONNECTION_T::flags: bits of the current request; 0 after each request.
enum {
    CONN_BUFFERING = 0x1,          // the response body is collected before it is sent
    CONN_REVALIDATING = 0x2,       // a conditional request validates a cached copy
    CONN_VALIDATED = 0x4,          // the server confirmed the cached copy
    CONN_CACHE_STORE = 0x8,        // the response is being written into the cache
    CONN_PARENT_AUTH_TRIED = 0x10, // parent authentication was tried after a 407
    CONN_OFFLINE = 0x20,           // "offline": serve only from the cache
    CONN_PROCESSING = 0x40,        // the body must pass the content processors
    CONN_UPSTREAM_REUSED = 0x80,   // the upstream connection is already set up
    CONN_LIMIT_COUNT_CACHED = 0x100,
    CONN_PREFETCH = 0x200,         // request made by the prefetcher
    CONN_ENCODING_ASKED = 0x400,   // the body is decoded for the client
    CONN_TRANSFER_FAILED = 0x800,  // a read or relay ended short
    CONN_HTTPS_COMMAND = 0x1000,   // "https" URL command
    CONN_SSL_UPSTREAM = 0x2000,    // the upstream connection uses TLS
    CONN_NO_CLIENT = 0x4000,       // nothing is written to the client
    CONN_INTERNAL = 0x8000,        // request made by the proxy itself
    CONN_HEAD = 0x10000,           // HEAD request: no body to the client
    CONN_CARP = 0x20000,           // parent chosen by CARP hashing
    CONN_BODY_STREAMED = 0x40000,  // the request body is streamed upstream
    CONN_BODY_RELAYED = 0x80000,   // the streamed request body went upstream whole
    CONN_REQUEST_REPLACED = 0x100000, // the login dialogue read a new request in its place
    CONN_BODY_MALFORMED = 0x200000, // the request body broke its chunk framing
    CONN_SCAN_INCOMPLETE = 0x400000, // a scanner gave no verdict: the cached copy is not clean
};

// CONNECTION_T::auth_flags: kept for the whole connection.
enum {
    CONN_AUTH_EXTERNAL_FAILED = 0x1,
    CONN_AUTH_REQUIRED = 0x2,
};

// CONNECTION_T::access: rights of the matching access rule; 0 after each
// request.
enum {
    ACCESS_INTERFACE = 0x1,
    ACCESS_PROXY = 0x2,
    ACCESS_TRANSPARENT = 0x4,
    ACCESS_HOST_HEADER = 0x8,
    ACCESS_CONNECT = 0x10,
    ACCESS_BYPASS = 0x20,
    ACCESS_URL_COMMANDS = 0x40,
};

// CONNECTION_T::bypass: what the request skips; granted by the access rule
// and the "bypass" URL command, and kept for the next requests of the
// connection while the same rule admits the same user (bypass_rule,
// bypass_generation, bypass_user).
enum {
    BYPASS_URL_FILTER = 0x1,       // f
    BYPASS_HEADER_FILTER = 0x2,    // h
    BYPASS_MIME_FILTER = 0x4,      // m
    BYPASS_REDIRECT = 0x8,         // r
    BYPASS_COOKIE_FILTER = 0x10,   // c
    BYPASS_REWRITE = 0x20,         // w
    BYPASS_EXTERNAL = 0x40,        // e
    BYPASS_FORWARD = 0x80,         // p
    BYPASS_KEYWORD_FILTER = 0x100, // k
    BYPASS_DNSBL = 0x200,          // d
    BYPASS_LIMITS = 0x400,
    BYPASS_ANTIVIRUS = 0x800,      // a
    BYPASS_ICAP = 0x1000,          // i
    BYPASS_URLBL = 0x2000,
};

// CONNECTION_T::forward_mode: how the upstream is reached.
enum {
    FORWARD_HTTP_PARENT = 0,
    FORWARD_SOCKS4 = 1,
    FORWARD_SOCKS5 = 2,
    FORWARD_CONNECT_PARENT = 3,
    FORWARD_DIRECT = 4,
};

// CONNECTION_T::auth_host_state.
enum {
    AUTH_HOST_FAILED = -1,
    AUTH_HOST_CHALLENGE = 0,
    AUTH_HOST_AUTHENTICATED = 2,
};

// CONNECTION_T::auth_scheme.
enum {
    AUTH_SCHEME_BASIC = 0,
    AUTH_SCHEME_NTLM = 1,
    AUTH_SCHEME_NEGOTIATE = 2,
};

constexpr int CATEGORY_SCORES = 32;
constexpr int CATEGORY_SCORES_UNSET = -1;
constexpr unsigned TUNNEL_ID_NONE = 4294967295u;

struct CONNECTION_T {
    int thread_slot;       // thread-table slot of the serving worker
    unsigned client_id;    // 1 to 4294967294, given by the accept loop
    unsigned flags;        // CONN_* of the current request
    unsigned auth_flags;   // CONN_AUTH_*
    Socket* client;        // NULL for the proxy's own requests
    Socket* server;        // upstream socket of the current request
    int prefetch_depth;
    int auth_host_state;   // AUTH_HOST_*
    char* client_ip;       // client address text
    int port;              // port of the listener that accepted the client
    char* interface_ip;    // local address the client connected to
    int requests;          // requests completed; 0 while serving the first
    int client_keepalive;  // 1: the client connection stays open after this request
    int server_keepalive;  // 1: the upstream socket may be reused
    time_t buffer_deadline;
    int64_t bytes_down;    // bytes received for the current response
    int64_t down_allowance; // bytes the response may still carry; -1 unlimited
    int64_t bytes_up;      // request-body bytes counted by the limits
    int64_t up_allowance;  // largest request body allowed; -1 (compared unsigned) admits all
    char* parent_auth;     // Proxy-Authorization value for the parent proxy
    char* upstream_host;   // parent proxy host; NULL: the request's host
    int upstream_port;
    int forward_mode;      // FORWARD_*
    char* user;            // "user@address" for logs and statistics
    char* auth_host_user;
    char* auth_host_challenge;
    char* parent_user;
    char* parent_password;
    char* parent_domain;
    StringList dn_parts;    // parts of the user's directory name; per request
    StringList user_groups; // DN parts and group names of the user; per request
    StringList profiles;    // profiles applied to the request; per request
    std::string interface_user;
    std::string interface_password;
    std::string interface_session; // login session token of the interface page being served ("": none)
    unsigned access;       // ACCESS_* of the current request
    unsigned bypass;       // BYPASS_* of the current request
    const void* bypass_rule;        // the access rule `bypass` belongs to (compared, never read)
    unsigned bypass_generation;     // its configuration's rebuild count
    std::string bypass_user;        // and its user ("": anonymous)
    url_command_t** url_commands; // the request's URL commands, or NULL; per request
    Filebuf* body;         // request body of the current request
    HEADER* request;       // parsed request header of the current request
    HEADER* response;      // response header of the current request
    CACHEMAP* cachemap;    // cache object opened for the request, or NULL
    HTMLStream* htmlstream; // parser of the response HTML, or NULL
    VariableMap variables; // template variables (core/variable_map.h)
    LogEntry log;          // access-log record of the current request
    Stats* user_stats;     // shared (holder count: core/atom.h)
    int auth_scheme;       // AUTH_SCHEME_*
    int category_scores[CATEGORY_SCORES]; // CATEGORY_SCORES_UNSET: not looked up
    unsigned tunnel_id;    // TUNNEL_ID_NONE, or the client id once bound to an upstream
    int timeout;           // seconds to wait for the first request
    int keepalive_timeout; // seconds to wait for a further request
};

// A new record with its initial values (forward mode direct, unlimited
// allowances, no tunnel, category scores unset). The caller fills the client
// socket and the addresses. Allocation failure is fatal.
CONNECTION_T* connection_new();

// The reset after every request, run by the worker: releases what belongs
// to the request (cache object, body, HTML parser, upstream socket, upstream
// host, variables, profile and group lists, rights),
// clears the per-request fields and, unless CONN_NO_CLIENT is set, counts
// the request, clears the flags and flushes the client socket.
void connection_reset(CONNECTION_T* connection);

// Closes a connection: counts one closed connection in the performance log
// (also for NULL, which is then all it does), logs "%s disconnected after
// making %d requests", deletes the client socket and frees the record.
void net_close(CONNECTION_T* connection);

// Frees the record; the client socket must already be gone and the
// per-request parts released by connection_reset.
void connection_free(CONNECTION_T* connection);
