#include "cache/prefetch.h"

#include "http/header.h"
#include "http/url.h"

PrefetchSection* prefetch_section = nullptr;

PrefetchSection::PrefetchSection() : Section("prefetch", SECTION_MUTEX) {}

void PrefetchSection::init_threads() {}

int PrefetchSection::queue_add(URL* url, std::list<HTTP_HEADER>*, unsigned, int) {
    url_free(url);
    return 0;
}

void PrefetchSection::setup_callbacks(CONNECTION_T*) {}
