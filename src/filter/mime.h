// Configuration section: MIME filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

struct CONNECTION_T;

class MimeSection : public Section {
public:
    MimeSection();
    void update() override {}
    // After the response header: 0 when the MIME filter blocked and
    // answered, 1 when the response may pass. No rules exist yet: 1.
    int check_and_block(CONNECTION_T* connection);
    // Answers the URL command "mime" with the deciding rule's page.
    int check_show(CONNECTION_T* connection);
};

extern MimeSection* mime_section;
