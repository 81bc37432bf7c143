#include "urlbl.h"

URLBLSection* urlbl_section = nullptr;

URLBLSection::URLBLSection() {}

void URLBLSection::load() {}
