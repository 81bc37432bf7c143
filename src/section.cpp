#include "section.h"

tinyxml2::XMLDocument* sectionxml = nullptr;
