#include "forward.h"

ForwardSection* forward_section = nullptr;

ForwardSection::ForwardSection() : Section("forward", SECTION_RWLOCK) {}
