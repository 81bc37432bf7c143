#include "ldap.h"

LdapSection* ldap_section = nullptr;

LdapSection::LdapSection() : Section("ldap", SECTION_RWLOCK) {}

void ldap_configure(void*) {}

int set_connection_dn(const char*, CONNECTION_T*) {
    return -1;
}

int auth_ldap(const char*, const char*, CONNECTION_T*) {
    return 1;
}
