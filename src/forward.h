// Configuration section: parent proxies.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

struct CONNECTION_T;

class ForwardSection : public Section {
public:
    ForwardSection();
    void update() override {}
    // Lets the forward rules choose a parent for the request (forward mode,
    // upstream host and port). No rules exist yet: the request goes direct.
    int forward_do(CONNECTION_T* connection);
};

extern ForwardSection* forward_section;
