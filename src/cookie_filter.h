// Configuration section: cookie filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class CookieSection : public Section {
public:
    CookieSection();
    void update() override {}
};

extern CookieSection* cookie_section;
