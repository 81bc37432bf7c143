#include "network_section.h"

NetworkSection* network_section = nullptr;

NetworkSection::NetworkSection() {}

void NetworkSection::check() {}
