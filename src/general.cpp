#include "general.h"

GeneralSection* general_section = nullptr;

GeneralSection::GeneralSection() : Section("general", SECTION_RWLOCK) {}
