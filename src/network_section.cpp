#include "network_section.h"

NetworkSection* network_section = nullptr;

NetworkSection::NetworkSection() : Section("network", SECTION_RWLOCK) {}

void NetworkSection::check() {}

struct in_addr NetworkSection::interface_select(CONNECTION_T*) {
    struct in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return any;
}
