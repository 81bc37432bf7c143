#include "ldap.h"

LdapSection* ldap_section = nullptr;

LdapSection::LdapSection() : Section("ldap", SECTION_RWLOCK) {}

void ldap_configure(void*) {}
