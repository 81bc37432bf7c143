// Configuration section "icap": the ICAP/1.0 client (RFC 3507). Request
// bodies (REQMOD) and response bodies (RESPMOD) go to outside ICAP
// services, which may answer 204 (no change), or with a changed request, a
// changed response, or a response that answers the request in their name.
// The client never refuses anything by itself.
//
// Contract:
// - Entry choice: the first entry, in configuration order, that is enabled,
//   whose profile list matches the connection (profile_find), whose mode
//   has a bit of the wanted mode and whose host and service are set. The
//   section off or BYPASS_ICAP: no entry. Only that entry is used; there is
//   no fallback to a later one.
// - Preview: the service's Preview value is learnt by an OPTIONS query,
//   never under the section lock: the first exchange that needs an unknown
//   value asks (each entry asks once per rebuild; a failed query is retried
//   after ICAP_OPTIONS_RETRY seconds; a configuration slave asks before
//   every exchange). Until it is known no Preview line is sent and the whole
//   body goes out at once.
// - Exchange: with a preview, the rest of the body is sent only after the
//   server's "100 Continue"; a final reply to the preview ends the exchange
//   with nothing left unsent. Every wait is bounded by the connection's I/O
//   time-out; OPTIONS by ICAP_OPTIONS_TIMEOUT.
// - 204 and failures (connect, silence, early close, 4xx, 5xx, a reply
//   without Encapsulated, a malformed reply, one with both bodies) leave the
//   request, the response and the body exactly as they were (scanners fail
//   open). After a failure the socket is closed; after a 204 it is kept
//   like after any other clean reply.
// - Connections are pooled in the server pool under ("icap", host, port). A
//   socket is parked only when its reply ended exactly at its framing, with
//   no byte left over, read or buffered, and did not say "Connection:
//   close"; any other socket is closed. A pooled socket found closed by the
//   server costs a new attempt on another socket, never a failure.
// - Locks: the section's read lock is held only while an entry is chosen
//   and copied; OPTIONS queries and exchanges run without it. update() runs
//   under the write lock held by the configuration framework and talks to
//   no server.
#pragma once

#include <atomic>
#include <list>
#include <string>

#include <time.h>

#include "config/config_lists.h"
#include "config/section.h"

struct CONNECTION_T;
class Filebuf;

// Mode bits (ICAP::mode and the mode arguments below).
enum {
    ICAP_MODE_REQMOD = 0x1,
    ICAP_MODE_RESPMOD = 0x2,
};

// Seconds an OPTIONS query may take to connect, and again to answer.
constexpr int ICAP_OPTIONS_TIMEOUT = 5;
// Seconds before a service whose OPTIONS query failed is asked again.
constexpr int ICAP_OPTIONS_RETRY = 30;

// One ICAP service, built from an entry by field position.
class ICAP {
public:
    explicit ICAP(const Item& item);

    int enabled; // any non-zero value matches; OPTIONS are asked only for 1
    std::string comment;
    StringList profiles;
    std::string host;
    std::string service; // written right after "icap://host:port"
    int port;
    int mode;
    // The Preview value learnt by OPTIONS; -1 unknown or none.
    std::atomic<int> preview{-1};
    // ICAP_PREVIEW_* below.
    std::atomic<int> preview_state{0};
    // While ICAP_PREVIEW_UNKNOWN after a failed query: no query before this.
    std::atomic<time_t> retry_after{0};
};

enum {
    ICAP_PREVIEW_UNKNOWN = 0,
    ICAP_PREVIEW_ASKING = 1, // one thread is asking; the others go without
    ICAP_PREVIEW_KNOWN = 2,
};

// The parts of an Encapsulated value: byte offsets, -1 when absent.
struct ICAP_ENCAPSULATION {
    int req_hdr = -1;
    int res_hdr = -1;
    int req_body = -1;
    int res_body = -1;
    int null_body = -1;
    int opt_body = -1;
    bool valid = true; // false: a part with a malformed or negative offset
};

class ICAPSection : public Section {
public:
    ICAPSection();

    // Rebuilds the entries; every preview becomes unknown again.
    void update() override;

    // 1 when an entry serves the connection for the mode, else 0.
    int check_match(CONNECTION_T* connection, int mode) const;

    // One exchange with the chosen entry's service: 1 when a modification
    // reply was installed, 0 otherwise (no entry, failure, 204).
    int process(CONNECTION_T* connection, Filebuf* body, int mode);

    // The exchange itself (icap_exchange.cpp). preview: the service's
    // Preview value, -1 unknown. true when a modification reply (a final
    // status other than 204, 4xx and 5xx, with Encapsulated) was handled.
    static bool protocol_icap(CONNECTION_T* connection, Filebuf* body, int mode,
                              const std::string& host, const std::string& service, unsigned port,
                              int preview);

    // Parses an Encapsulated value ("req-hdr=0, res-body=120" ...).
    static ICAP_ENCAPSULATION encapsulation_parse(const char* value);

    int* enabled; // global field 0
    std::list<ICAP> servers;
    // Counts the rebuilds, so that a learnt preview is stored only into the
    // entry list it was asked for.
    unsigned generation = 0;

};

extern ICAPSection* icap_section;

// The OPTIONS query: the service's Preview value, or -1 (no reply, not 200,
// no Preview line). *answered (when given) is set to true when the service
// answered 200.
int get_max_preview(int mode, const char* host, const char* service, unsigned port,
                    bool* answered = nullptr);

// The section's processors.
int icap_reqmod(CONNECTION_T* connection, Filebuf* body);
int icap_respmod(CONNECTION_T* connection, Filebuf* body);
int icap_buffcheck(CONNECTION_T* connection, Filebuf* body);

// Parks the socket in the server pool under ("icap", host, port) when its
// last reply left nothing behind (see the contract), else deletes it.
class Socket;
void icap_socket_release(Socket* socket, const std::string& host, unsigned port, bool keep);
