// Configuration section: Sophie daemon client.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class SophieSection : public Section {
public:
    SophieSection();
    void update() override {}
};

extern SophieSection* sophie_section;
