#include "scan/kaspersky.h"

KasperskySection* kaspersky_section = nullptr;

KasperskySection::KasperskySection() : Section("kaspersky", SECTION_RWLOCK) {}
