#include "scan/clamav.h"

ClamAVSection* clamav_section = nullptr;

ClamAVSection::ClamAVSection() : Section("clamav", SECTION_RWLOCK) {}
