#include "forward.h"

ForwardSection* forward_section = nullptr;

ForwardSection::ForwardSection() : Section("forward", SECTION_RWLOCK) {}

int ForwardSection::forward_do(CONNECTION_T*) {
    return 0;
}
