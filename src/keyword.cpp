#include "keyword.h"

KeywordSection* keyword_section = nullptr;

KeywordSection::KeywordSection() {}
