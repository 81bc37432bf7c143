// Configuration section: F-Prot daemon client.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class FProtSection : public Section {
public:
    FProtSection();
    void update() override {}
};

extern FProtSection* fprot_section;
