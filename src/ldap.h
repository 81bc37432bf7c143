// Configuration section: LDAP directories.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class LdapSection : public Section {
public:
    LdapSection();
    void update() override {}
};

extern LdapSection* ldap_section;

// Timer job (every 10 s) and start-up hook: keeps the directory connections
// and the DN cache current.
void ldap_configure(void*);
