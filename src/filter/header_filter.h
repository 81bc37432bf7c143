// Configuration section: header filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

struct CONNECTION_T;

// Which header a header rule works on (a rule's direction is a mask of
// both), and the side HeaderSection::filter is called for.
enum {
    HEADER_RULE_CLIENT = 0x1, // the request header, going to the server
    HEADER_RULE_SERVER = 0x2, // the response header, going to the client
};

class HeaderSection : public Section {
public:
    HeaderSection();
    void update() override {}
    // Filters the request (side HEADER_RULE_CLIENT) or response (side
    // HEADER_RULE_SERVER) header lines. No rules exist yet, so every line is
    // kept.
    void filter(CONNECTION_T* connection, int side);
};

extern HeaderSection* header_section;
