#include "icap.h"

ICAPSection* icap_section = nullptr;

ICAPSection::ICAPSection() {}
