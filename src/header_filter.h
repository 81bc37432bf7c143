// Configuration section: header filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class HeaderSection {
public:
    HeaderSection();
};

extern HeaderSection* header_section;
