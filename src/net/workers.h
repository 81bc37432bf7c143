// The worker threads.
//
// Workers run process_entry: they serve requests on one connection after
// another, keep a connection for a short adaptive wait after each request,
// give it back to the client pool otherwise, and end after THREAD_TIMEOUT
// seconds without work. A connection belongs to exactly one party at a time;
// the slot's `conn` field of the thread table (core/threads.h) is the only
// place the hand-over passes through, read and cleared under
// `threadlistlock`.
#pragma once

struct CONNECTION_T;

// Hands a connection whose client has sent data to an idle worker, or to a
// new one when none is idle. Returns the slot index, or -1 when no worker
// can be had (the caller still owns the connection then).
int process_new(CONNECTION_T* connection);

// Body of a worker thread (argument: the connection it starts with).
void* process_entry(void* connection);

// Seconds a worker in `slot` keeps a kept-alive connection waiting for its
// next request before giving it to the client pool:
// ((T - s) * C) / (T + s * F), with F taken as 1 when below 1 (T
// MAXTHREADS, C the client-pool time-out, F the overload factor).
unsigned keepalive_wait(int slot, int max_threads, int pool_timeout, int overload);

// Microseconds a worker in `slot` still watches its connection when that
// wait is 0 (the defaults): the same shrinking rule over a budget of
// KEEPALIVE_LINGER_MAX_US. A client that sends its next request at once (a
// browser fetching a page's parts, a load generator) then stays with its
// worker instead of passing through the client pool's poll and a wake-up of
// another worker; an idle one costs its worker this much and goes to the
// pool as before.
static const unsigned KEEPALIVE_LINGER_MAX_US = 20000;
unsigned keepalive_linger_us(int slot, int max_threads, int overload);
