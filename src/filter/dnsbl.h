// Configuration section: DNS block lists.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class DnsblSection : public Section {
public:
    DnsblSection();
    void update() override {}
};

extern DnsblSection* dnsbl_section;
