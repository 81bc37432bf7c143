// Configuration section "forward": parent-proxy rules, and the choice of a
// parent for one request - gathering the rules that apply, ranking them by
// ICP queries, by CARP hashing or plainly, and picking one (ties broken at
// random) - written into the connection for the upstream connector.
//
// Contract:
// - update() runs with the write lock held (configuration framework); it
//   rebuilds the rules in item order and clears every down mark.
// - forward_do() holds the read lock for the whole choice, the ICP wait
//   included, and takes the general section's read lock briefly inside it.
//   It always returns 0; without a usable rule the route stays as the
//   caller set it (FORWARD_DIRECT).
// - The chosen rule's parent credentials replace whatever the connection
//   carried (an empty value leaves NULL), so a request never carries the
//   credentials of another request's parent.
// - icp_failed marks are shared by all workers and change only under the
//   status mutex; a parent that did not answer an ICP query is not asked
//   for 30 seconds.
// - proxy_candidate::reply is allocated only for rules that use ICP.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <list>
#include <memory>
#include <string>

#include "config/config_lists.h"
#include "config/section.h"
#include "http/icp.h"

struct CONNECTION_T;

// Forward::protocols bits.
enum {
    FORWARD_PROTOCOL_HTTP = 1,
    FORWARD_PROTOCOL_FTP = 2,
    FORWARD_PROTOCOL_CONNECT = 4,
};

// Forward::icp_mode.
enum {
    ICP_MODE_NONE = 0,
    ICP_MODE_HIT_AND_MISS = 1, // HIT ranks 100, MISS 10
    ICP_MODE_HIT_ONLY = 2,     // only a HIT ranks, 1000
};

// Seconds a parent that did not answer an ICP query stays marked down.
constexpr time_t ICP_DOWN_SECONDS = 30;

class Forward {
public:
    explicit Forward(const Item& item);

    int enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string host; // empty: ends the rule scan
    std::string user;
    std::string password;
    std::string domain;
    int port;         // -1: 443 for FORWARD_CONNECT_PARENT, 3128 otherwise
    int icp_mode;     // ICP_MODE_*
    int icp_port;
    int proxy_type;   // FORWARD_HTTP_PARENT .. FORWARD_CONNECT_PARENT
    int protocols;    // FORWARD_PROTOCOL_* mask
    time_t icp_failed; // when the parent last failed to answer; 0 = up
};

// One candidate of a request: its rule (valid while the section's read lock
// is held), its rank, and for ICP rules the query's number and the reply
// (first byte 0xFF while none has come).
struct proxy_candidate {
    struct reply_free {
        void operator()(icp_packet* packet) const;
    };
    explicit proxy_candidate(Forward* rule);

    uint32_t request_number;
    uint32_t priority;
    std::unique_ptr<icp_packet, reply_free> reply; // NULL for rules without ICP
    Forward* rule;
    bool queried; // an ICP query was sent for it
};

class ForwardSection : public Section {
public:
    ForwardSection();
    ~ForwardSection() override;
    void update() override;

    // Chooses the parent for the request (see the contract); always 0.
    int forward_do(CONNECTION_T* connection);
    // Ranks the candidates and picks one; NULL: go direct. Read lock held.
    Forward* proxy_select(CONNECTION_T* connection, std::list<proxy_candidate>& candidates);
    // Asks the ICP rules among the candidates and sets their priorities.
    void peer_select_icp(CONNECTION_T* connection, std::list<proxy_candidate>& candidates);
    // Every candidate's priority becomes the CARP hash of the request URL
    // for its host.
    void peer_select_carp(CONNECTION_T* connection, std::list<proxy_candidate>& candidates);
    // The CARP (version 1) score of a URL for one member name, modulo the
    // CARP divisor when it is not 0. Read lock held (for the divisor).
    unsigned carp_hash(const char* url, const char* member);

    // The rule's down mark, under the status mutex.
    time_t get_status(const Forward* rule);
    // Marks the rule down (now) or up (0), under the status mutex.
    void set_status(const Forward* rule, int down);

    std::list<Forward> rules;

private:
    int* enabled;
    int* carp;
    unsigned* carp_divisor;
    pthread_mutex_t status_mutex;
};

extern ForwardSection* forward_section;
