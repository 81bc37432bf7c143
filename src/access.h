// Configuration section: access rules and authentication.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class AccessSection {
public:
    AccessSection();
};

extern AccessSection* access_section;
