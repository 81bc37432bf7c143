// Configuration section: URL filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class FilterSection : public Section {
public:
    FilterSection();
    void update() override {}
};

extern FilterSection* filter_section;
