#include "network_section.h"

NetworkSection* network_section = nullptr;

NetworkSection::NetworkSection() : Section("network", SECTION_RWLOCK) {}

void NetworkSection::check() {}
