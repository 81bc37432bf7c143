// Configuration section: prefetching of linked objects.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include <list>

#include "config/section.h"

struct CONNECTION_T;
struct HTTP_HEADER;
struct URL;

class PrefetchSection : public Section {
public:
    PrefetchSection();
    void update() override {}
    // Starts the configured number of prefetch threads.
    void init_threads();
    // Queues the URL (taking ownership; a refused URL is freed) for
    // fetching ahead of demand. No queue exists yet: refused, 0.
    int queue_add(URL* url, std::list<HTTP_HEADER>* lines, unsigned size_limit, int depth);
    // Registers the prefetch callbacks on the connection's HTML parser.
    // No rules exist yet: nothing is registered.
    void setup_callbacks(CONNECTION_T* connection);
};

extern PrefetchSection* prefetch_section;
