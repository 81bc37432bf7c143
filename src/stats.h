// Statistics: named groups of named counters, global and per access rule.
// Until the statistics component is built this holds only what start-up and
// the network layer touch.
#pragma once

#include <string>

#include "atom.h"

// AddCounter flags.
enum { STAT_COUNT = 0x1 };

class Stats : public Atom {
public:
    void Increment(const std::string& group, const std::string& name, unsigned n = 1);
    void AddCounter(const std::string& group, const std::string& name, int flags);
};

// Fills the global statistics with their groups; called once at start-up
// after the modules are loaded.
void globalstats_init();
