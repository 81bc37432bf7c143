#include "limits_section.h"

LimitSection* limit_section = nullptr;

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK) {}

void limits_reset(void*) {}
