// Configuration section: external programs.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class ExternalSection : public Section {
public:
    ExternalSection();
    void update() override {}
};

extern ExternalSection* external_section;
