// Configuration section: general settings.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class GeneralSection : public Section {
public:
    GeneralSection();
    void update() override {}
    // Host name by which the proxy names itself where -H gave none.
    const char* hostname = "";
};

extern GeneralSection* general_section;
