// Configuration section: ClamAV daemon client.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class ClamAVSection : public Section {
public:
    ClamAVSection();
    void update() override {}
};

extern ClamAVSection* clamav_section;
