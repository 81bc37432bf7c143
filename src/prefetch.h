// Configuration section: prefetching of linked objects.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class PrefetchSection {
public:
    PrefetchSection();
    // Starts the configured number of prefetch threads.
    void init_threads();
};

extern PrefetchSection* prefetch_section;
