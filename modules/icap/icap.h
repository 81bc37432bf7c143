// Configuration section: ICAP client.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class ICAPSection : public Section {
public:
    ICAPSection();
    void update() override {}
};

extern ICAPSection* icap_section;
