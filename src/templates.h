// Configuration section: page templates.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class TemplateSection {
public:
    TemplateSection();
};

extern TemplateSection* template_section;
