#include "access.h"

AccessSection* access_section = nullptr;

AccessSection::AccessSection() : Section("access", SECTION_RWLOCK) {}
