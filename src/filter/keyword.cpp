#include "filter/keyword.h"

KeywordSection* keyword_section = nullptr;

KeywordSection::KeywordSection() : Section("keywords-filtering", SECTION_RWLOCK) {}
