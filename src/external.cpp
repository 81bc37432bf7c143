#include "external.h"

ExternalSection* external_section = nullptr;

ExternalSection::ExternalSection() : Section("external", SECTION_RWLOCK) {}
