// Configuration section: page templates.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

struct CONNECTION_T;

class TemplateSection : public Section {
public:
    TemplateSection();
    void update() override {}
    // Answers the client with the named page as a complete response with
    // `status`; 1 when sent, 0 when the connection has no client to write
    // to. Until the templates are built the page is a short text naming the
    // template.
    int send(const char* name, CONNECTION_T* connection, int status);
};

extern TemplateSection* template_section;
