// Configuration section: external programs.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class ExternalSection {
public:
    ExternalSection();
};

extern ExternalSection* external_section;
