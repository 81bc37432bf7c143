// Configuration section: ICAP client.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class ICAPSection {
public:
    ICAPSection();
};

extern ICAPSection* icap_section;
