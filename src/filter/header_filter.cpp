#include "filter/header_filter.h"

HeaderSection* header_section = nullptr;

HeaderSection::HeaderSection() : Section("header-filtering", SECTION_RWLOCK) {}

void HeaderSection::filter(CONNECTION_T*, int) {}
