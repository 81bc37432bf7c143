// Configuration section: access rules and authentication.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class AccessSection : public Section {
public:
    AccessSection();
    void update() override {}

    // Logs a PAM failure code at LOG_ERROR ("security: system: [pam: ...")
    // and, for the codes that prove the pair wrong (PAM_PERM_DENIED,
    // PAM_AUTH_ERR, PAM_USER_UNKNOWN, PAM_MAXTRIES, PAM_NEW_AUTHTOK_REQD),
    // caches a refusal of the pair first. Defined with the password cache.
    static void display_pam_msg(int code, const char* user, const char* password);
};

extern AccessSection* access_section;
