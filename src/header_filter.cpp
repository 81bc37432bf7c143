#include "header_filter.h"

HeaderSection* header_section = nullptr;

HeaderSection::HeaderSection() {}
