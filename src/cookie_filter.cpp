#include "cookie_filter.h"

CookieSection* cookie_section = nullptr;

CookieSection::CookieSection() {}
