// Configuration section: redirects.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class RedirectSection : public Section {
public:
    RedirectSection();
    void update() override {}
};

extern RedirectSection* redirect_section;
