// Configuration section: header filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class HeaderSection : public Section {
public:
    HeaderSection();
    void update() override {}
};

extern HeaderSection* header_section;
