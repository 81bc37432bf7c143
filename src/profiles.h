// Configuration section: profiles.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class ProfileSection {
public:
    ProfileSection();
};

extern ProfileSection* profile_section;
