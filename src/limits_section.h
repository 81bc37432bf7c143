// Configuration section: limits.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class LimitSection : public Section {
public:
    LimitSection();
    void update() override {}
};

extern LimitSection* limit_section;

// One-second timer job: zeroes the counters of limit rules out of window.
void limits_reset(void*);
