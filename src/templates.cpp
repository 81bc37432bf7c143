#include "templates.h"

TemplateSection* template_section = nullptr;

TemplateSection::TemplateSection() {}
