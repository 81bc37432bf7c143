// Configuration section: cookie filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class CookieSection {
public:
    CookieSection();
};

extern CookieSection* cookie_section;
