// Configuration section: Kaspersky daemon client.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class KasperskySection {
public:
    KasperskySection();
};

extern KasperskySection* kaspersky_section;
