// Configuration section: rewriting.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class RewriteSection : public Section {
public:
    RewriteSection();
    void update() override {}
};

extern RewriteSection* rewrite_section;
