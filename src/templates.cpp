#include "templates.h"

TemplateSection* template_section = nullptr;

TemplateSection::TemplateSection() : Section("templates", SECTION_RWLOCK) {}
