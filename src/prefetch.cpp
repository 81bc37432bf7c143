#include "prefetch.h"

PrefetchSection* prefetch_section = nullptr;

PrefetchSection::PrefetchSection() : Section("prefetch", SECTION_MUTEX) {}

void PrefetchSection::init_threads() {}
