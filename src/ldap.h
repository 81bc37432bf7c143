// Configuration section: LDAP directories.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

struct CONNECTION_T;

class LdapSection : public Section {
public:
    LdapSection();
    void update() override {}
};

extern LdapSection* ldap_section;

// Timer job (every 10 s) and start-up hook: keeps the directory connections
// and the DN cache current.
void ldap_configure(void*);

// The directory names of a user for a client connection: fills
// CONNECTION_T::dn_parts and CONNECTION_T::user_groups and returns the
// number of entries of user_groups, or -1 (both lists empty) when LDAP is
// off, the user is empty or unknown. Until directories are configured
// there is no directory: always -1.
int set_connection_dn(const char* user, CONNECTION_T* connection);

// Basic authentication against the directory with the DN of
// CONNECTION_T::dn_parts: 0 accepted, -1 wrong password, any other value a
// failure; 1 while LDAP is off.
int auth_ldap(const char* user, const char* password, CONNECTION_T* connection);
