#include "limits_section.h"

LimitSection* limit_section = nullptr;

LimitSection::LimitSection() {}

void limits_reset(void*) {}
