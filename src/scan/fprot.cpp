#include "scan/fprot.h"

FProtSection* fprot_section = nullptr;

FProtSection::FProtSection() : Section("fprot", SECTION_RWLOCK) {}
