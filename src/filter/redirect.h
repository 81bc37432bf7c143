// Configuration section: redirects.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

struct CONNECTION_T;

class RedirectSection : public Section {
public:
    RedirectSection();
    void update() override {}
    // Side 0 may answer the request with a 302 (1: sent, the road stops);
    // side 1 applies the rules to the response's Location. No rules exist
    // yet: 0.
    int redirect_do(CONNECTION_T* connection, int side);
};

extern RedirectSection* redirect_section;
