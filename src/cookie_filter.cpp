#include "cookie_filter.h"

CookieSection* cookie_section = nullptr;

CookieSection::CookieSection() : Section("cookies-filtering", SECTION_RWLOCK) {}
