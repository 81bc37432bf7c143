// Configuration section: URL black lists.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class URLBLSection : public Section {
public:
    URLBLSection();
    void update() override {}
    // Reads the black-list directory into memory.
    void load();
};

extern URLBLSection* urlbl_section;
