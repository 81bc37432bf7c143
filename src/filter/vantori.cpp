#include "filter/vantori.h"

VANTORI_Section* vantori_section = nullptr;

VANTORI_Section::VANTORI_Section() : Section("vantori", SECTION_RWLOCK) {}

void VANTORI_Section::vantori_dnstofile_insert() {}

void* vantori_cachedump(void*) {
    return nullptr;
}

// No category rules exist yet, so the second pass changes nothing.
int vantori_second(CONNECTION_T*) {
    return 0;
}

// No category service is queried yet, so the first pass changes nothing.
int vantori_first(CONNECTION_T*) {
    return 0;
}

void interface_page_vantori(Filebuf*, CGIMap&, CONNECTION_T*) {}
