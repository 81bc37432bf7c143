#include "fprot.h"

FProtSection* fprot_section = nullptr;

FProtSection::FProtSection() {}
