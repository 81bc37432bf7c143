#include "filter/urlbl.h"

URLBLSection* urlbl_section = nullptr;

URLBLSection::URLBLSection() : Section("urlblacklist", SECTION_RWLOCK) {}

void URLBLSection::load() {}
