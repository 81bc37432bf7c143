// Configuration section: URL filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

struct CONNECTION_T;

class FilterSection : public Section {
public:
    FilterSection();
    void update() override {}
    // Answers the URL command "filter" with the deciding rule's page.
    int check_show(CONNECTION_T* connection);
};

extern FilterSection* filter_section;
