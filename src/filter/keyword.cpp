#include "filter/keyword.h"

#include "iface/templates.h"

KeywordSection* keyword_section = nullptr;

KeywordSection::KeywordSection() : Section("keywords-filtering", SECTION_RWLOCK) {}

int score_show(CONNECTION_T* connection, int) {
    return template_section != nullptr ? template_section->send("unknown", connection, 200) : 0;
}
