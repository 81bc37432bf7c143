#include "filter/dnsbl.h"

DnsblSection* dnsbl_section = nullptr;

DnsblSection::DnsblSection() : Section("dnsbl", SECTION_RWLOCK) {}
