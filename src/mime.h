// Configuration section: MIME filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class MimeSection : public Section {
public:
    MimeSection();
    void update() override {}
};

extern MimeSection* mime_section;
