#include "limits_section.h"

LimitSection* limit_section = nullptr;

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK) {}

void LimitSection::update(CONNECTION_T*) {}

void limits_reset(void*) {}
