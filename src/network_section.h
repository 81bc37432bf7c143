// Configuration section: configured listeners and outgoing interfaces.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class NetworkSection : public Section {
public:
    NetworkSection();
    void update() override {}
    // Opens the configured listeners.
    void check();
};

extern NetworkSection* network_section;
