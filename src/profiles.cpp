#include "profiles.h"

ProfileSection* profile_section = nullptr;

ProfileSection::ProfileSection() : Section("profiles", SECTION_RWLOCK) {}
