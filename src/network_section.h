// Configuration section: configured listeners and outgoing interfaces.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include <netinet/in.h>

#include "section.h"

struct CONNECTION_T;

class NetworkSection : public Section {
public:
    NetworkSection();
    void update() override {}
    // Opens the configured listeners.
    void check();
    // Local address for the connection's outgoing connections; INADDR_ANY
    // (any address) until Interface entries exist.
    struct in_addr interface_select(CONNECTION_T* connection);
};

extern NetworkSection* network_section;
