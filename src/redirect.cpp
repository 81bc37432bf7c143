#include "redirect.h"

RedirectSection* redirect_section = nullptr;

RedirectSection::RedirectSection() : Section("redirect", SECTION_RWLOCK) {}
