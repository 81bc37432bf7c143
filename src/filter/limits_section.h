// Configuration section: limits.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

struct CONNECTION_T;

class LimitSection : public Section {
public:
    LimitSection();
    void update() override {}
    // After each request: adds its bytes and one request to the counters of
    // the matching limit rules (none yet).
    void update(CONNECTION_T* connection);
    // Starts the request's counting (bytes_down and bytes_up 0, both
    // allowances -1) and applies the limit rules; true when the request was
    // refused and answered. No rules exist yet, so nothing is refused.
    bool check_and_block(CONNECTION_T* connection);
};

extern LimitSection* limit_section;

// One-second timer job: zeroes the counters of limit rules out of window.
void limits_reset(void*);
