#include "filter.h"

FilterSection* filter_section = nullptr;

FilterSection::FilterSection() : Section("url-filtering", SECTION_RWLOCK) {}
