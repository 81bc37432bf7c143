// Configuration section: profiles.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class ProfileSection : public Section {
public:
    ProfileSection();
    void update() override {}
};

extern ProfileSection* profile_section;
