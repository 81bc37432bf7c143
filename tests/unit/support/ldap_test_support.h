// Helpers for the LDAP tests.
#pragma once

#include <string.h>

#include <string>

#include "auth/ldap.h"
#include "auth/password_crypt.h"

namespace ldaptest {

// The configuration form of a password for this installation's host key
// (ldap_section must exist and have loaded its key).
inline std::string encrypted(const char* password) {
    unsigned char key[512] = {0};
    ldap_section->get_our_key(key);
    unsigned char text[1024] = {0};
    kestrivan_privatise(reinterpret_cast<const unsigned char*>(password), key,
                        reinterpret_cast<const unsigned char*>("wxjq"), text,
                        static_cast<int>(strlen(password)));
    return reinterpret_cast<char*>(text);
}

} // namespace ldaptest
