// Configuration section: keyword scoring.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class KeywordSection : public Section {
public:
    KeywordSection();
    void update() override {}
};

extern KeywordSection* keyword_section;
