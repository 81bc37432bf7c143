// Configuration section: page templates.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class TemplateSection : public Section {
public:
    TemplateSection();
    void update() override {}
};

extern TemplateSection* template_section;
