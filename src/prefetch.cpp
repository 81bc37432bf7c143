#include "prefetch.h"

PrefetchSection* prefetch_section = nullptr;

PrefetchSection::PrefetchSection() {}

void PrefetchSection::init_threads() {}
