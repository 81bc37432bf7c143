// Configuration section: prefetching of linked objects.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class PrefetchSection : public Section {
public:
    PrefetchSection();
    void update() override {}
    // Starts the configured number of prefetch threads.
    void init_threads();
};

extern PrefetchSection* prefetch_section;
