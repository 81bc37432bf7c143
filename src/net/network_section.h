// Configuration section "network": further listeners opened at start-up,
// and the local address outgoing connections are bound to, chosen per user
// group and profile.
//
// Contract:
// - update() runs with the write lock held (configuration framework) and
//   rebuilds both lists in item order, disabled entries included.
// - check() runs once at start-up, after the configuration is loaded: it
//   opens a listener (net_listen) for every enabled Listen entry with a port
//   other than -1; a listener that cannot be opened (an address that is not
//   an IPv4 literal - empty means all addresses -, a port outside 1-65535,
//   a port in use) is logged by net_listen and skipped. Start-up stops when
//   no listener at all is open. Later edits open or close nothing until the
//   next start.
// - interface_select() is asked for every outgoing connection; the first
//   enabled Interface entry whose group and profile lists match the
//   connection (profile_find) gives the address, logged at LOG_NETWORK. An
//   address that is not an IPv4 literal, or no matching entry, gives
//   INADDR_ANY (any local address).
// - Both take the read lock; the section owns its lists.
#pragma once

#include <netinet/in.h>

#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/section.h"

struct CONNECTION_T;

class Listen {
public:
    explicit Listen(const Item& item);

    int enabled;
    std::string comment;
    int port;            // -1: none
    std::string address; // empty: every local address
};

class Interface {
public:
    explicit Interface(const Item& item);

    int enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string address;
};

class NetworkSection : public Section {
public:
    NetworkSection();
    ~NetworkSection() override;
    void update() override;
    // Opens the configured listeners; returns how many were opened.
    int check();
    // Local address for the connection's outgoing connections.
    struct in_addr interface_select(CONNECTION_T* connection);

    std::list<Listen> listen_list;
    std::list<Interface> interface_list;
};

extern NetworkSection* network_section;
