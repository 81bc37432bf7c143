#include "filter/rewrite.h"

RewriteSection* rewrite_section = nullptr;

RewriteSection::RewriteSection() : Section("rewrite", SECTION_RWLOCK) {}
