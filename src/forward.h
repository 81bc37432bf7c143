// Configuration section: parent proxies.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class ForwardSection : public Section {
public:
    ForwardSection();
    void update() override {}
};

extern ForwardSection* forward_section;
