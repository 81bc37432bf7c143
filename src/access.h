// Configuration section: access rules and authentication.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class AccessSection : public Section {
public:
    AccessSection();
    void update() override {}
};

extern AccessSection* access_section;
