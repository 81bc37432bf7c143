#include "rewrite.h"

RewriteSection* rewrite_section = nullptr;

RewriteSection::RewriteSection() {}
