// Configuration section "prefetch": fetches the objects that relayed pages
// link to into the cache before a client asks for them.
//
// While a text/html response is relayed, its HTML parser (hstream.h) calls
// prefetch_callback for every tag a rule names; the rule's attribute is
// turned into an absolute URL and queued. A fixed pool of prefetch threads
// (slots of the worker-thread table) takes URLs off the queue and fetches
// each through the ordinary HTTP or FTP exchange as a request without a
// client (CONN_PREFETCH | CONN_NO_CLIENT), so that the response lands in the
// cache marked CACHE_PREFETCHED and is itself parsed one level deeper. URLs
// are also queued by the "prefetch" URL command.
//
// Contract:
// - The section mutex (SECTION_MUTEX) guards the rules, the queue and its
//   counter; the threads wait on queue_cond with it. Lock order: this mutex
//   before the cache's (queue_add asks the cache while holding it); nothing
//   takes them the other way round, so no parser is ever fed under the
//   cache's mutex. No peer is waited for and no socket written under it.
// - Bounds: at most `queuesize` requests wait, at most `hostlimit` for one
//   host (0: no limit); a URL already waiting, or already in the cache table
//   (valid or not), is not queued again. At most one URL per tag.
// - A queued request is fetched like a client request would be: the
//   request-check processors (URL filter, DNS block list, URL black lists)
//   decide first, and its destination must not be an internal address
//   (loopback, link-local, private, shared, multicast or reserved) unless an
//   allow rule of the URL filter names that address. A refused request is
//   written to both access logs with client "prefetch" and TCP_DENIED.
// - Prefetch requests never carry a client's credentials or cookies: the
//   lines Cookie, Cookie2, Authorization and Proxy-Authorization are dropped
//   when a client's header lines are copied into the queue, so a page made
//   for one user never lands in the shared cache.
// - A prefetched object is limited to the rule's max_size; one that ends
//   short (limit reached, connection lost) is invalidated, never stored.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/section.h"
#include "filter/rules.h"
#include "http/header.h"

struct CONNECTION_T;
struct HEADER;
struct URL;
class HTMLStream;
struct htmlstream_node;

// One rule (subsection "prefetch"), copied from its entry.
class Prefetch {
public:
    // A pattern that does not compile throws ConfigError naming the entry.
    explicit Prefetch(const Item& item);

    // Enabled and scoped to the connection's profiles.
    bool applies(const CONNECTION_T* connection) const;
    // A tag and an attribute to watch (else the rule does nothing).
    bool watches() const { return !tag.empty() && !attribute.empty(); }

    int enabled;
    std::string comment;
    StringList profiles;
    std::string tag;       // compared ignoring case
    std::string attribute; // compared ignoring case
    RulePattern pattern;   // on the complete URL; absent: every URL
    unsigned max_size;     // bytes; 0: no limit
    int max_depth;         // 0: no limit
};

// One waiting request, in a singly linked FIFO.
struct PREFETCH_QUEUE {
    PREFETCH_QUEUE* next;
    unsigned client_id;             // of the thread that queued it
    int depth;
    int64_t size_limit;             // bytes; -1: unlimited
    URL* url;                       // owned
    HeaderLines* headers; // owned copy, or NULL
};

// Frees the URL, the header list and the record (NULL is ignored).
void prefetch_queue_free(PREFETCH_QUEUE* record);

class PrefetchSection : public Section {
public:
    PrefetchSection();
    ~PrefetchSection() override;
    // Rebuilds the rules (mutex held by the configuration framework).
    void update() override;

    // Starts `threads` prefetch threads; once, at start-up.
    void init_threads();
    // Queues a request for the URL, taking ownership of it (a refused URL is
    // freed). `lines`: header lines to send (copied without the secret
    // lines), or NULL for a default User-Agent. size_limit: bytes, -1
    // unlimited. 1 when queued, 0 when refused.
    int queue_add(URL* url, HeaderLines* lines, int64_t size_limit, int depth);
    // For a response about to be relayed: when prefetching is on and the
    // response is text/html from a plain upstream, creates the connection's
    // HTML parser and registers prefetch_callback for the rules' tags.
    void setup_callbacks(CONNECTION_T* connection);
    // Takes the next waiting request off the queue, waiting for one at most
    // `wait_seconds`; NULL when none came.
    PREFETCH_QUEUE* queue_take(int wait_seconds);

    // Values of the global fields 0 to 4.
    int* enabled;
    int* threads;
    int* queuesize;
    int* hostlimit;
    unsigned* parse_limit; // 0: HTMLSTREAM_DEFAULT_LIMIT

    pthread_cond_t queue_cond;
    int queued;             // waiting requests
    PREFETCH_QUEUE* queue;  // head, or NULL
    PREFETCH_QUEUE* tail;   // last, or NULL
    std::list<Prefetch> rules;
};

extern PrefetchSection* prefetch_section;

// The parser callback: harvests at most one link from the tag (the first
// rule that yields a URL decides) and queues it one level deeper than the
// page. data is the page's connection. Returns 0.
int prefetch_callback(HTMLStream* stream, htmlstream_node* node, void* data);

// The absolute URL a link value names on the page requested by `page`
// (scheme, host, port and path taken from it): an absolute URL as it is, a
// "//host/path" on the page's scheme, a path from the root, or a path
// relative to the page's directory; blanks around the value are dropped,
// "&amp;" reads as '&', the fragment is cut and "." and ".." segments are
// resolved. NULL when the value names nothing usable.
URL* prefetch_link_url(const HEADER* page, const char* value);

// True when the dotted-quad address lies in a range prefetching never
// reaches on its own: 0/8, 10/8, 100.64/10, 127/8, 169.254/16, 172.16/12,
// 192.168/16 and 224/3 (multicast, reserved, broadcast). Malformed: true.
bool prefetch_internal_address(const char* address);

// Fetches one queued request into the cache (the thread slot shows it while
// it runs). 0 when the URL was in the cache already, else 1.
int protocol_prefetch(PREFETCH_QUEUE* record);

// Thread body: fetches queued requests for ever.
void* prefetch_thread(void* section);
