#include "forward.h"

ForwardSection* forward_section = nullptr;

ForwardSection::ForwardSection() {}
