#include "scan/sophie.h"

SophieSection* sophie_section = nullptr;

SophieSection::SophieSection() : Section("sophie", SECTION_RWLOCK) {}
