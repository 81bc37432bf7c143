// Configuration section: Kaspersky daemon client.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class KasperskySection : public Section {
public:
    KasperskySection();
    void update() override {}
};

extern KasperskySection* kaspersky_section;
