// Configuration section: header filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

struct CONNECTION_T;

class HeaderSection : public Section {
public:
    HeaderSection();
    void update() override {}
    // Filters the request (side 1) or response (side 2) header lines. No
    // rules exist yet, so every line is kept.
    void filter(CONNECTION_T* connection, int side);
};

extern HeaderSection* header_section;
