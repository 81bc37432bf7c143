#include "icap/icap.h"

ICAPSection* icap_section = nullptr;

ICAPSection::ICAPSection() : Section("icap", SECTION_RWLOCK) {}
