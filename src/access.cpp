#include "access.h"

AccessSection* access_section = nullptr;

AccessSection::AccessSection() {}
