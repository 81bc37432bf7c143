#include "ldap.h"

LdapSection* ldap_section = nullptr;

LdapSection::LdapSection() {}

void ldap_configure(void*) {}
