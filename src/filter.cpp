#include "filter.h"

FilterSection* filter_section = nullptr;

FilterSection::FilterSection() {}
