// The section model of the configuration framework.
#pragma once

#include <tinyxml2.h>

// The section-definition document, loaded once at start-up; every section
// constructor reads its own definition from it.
extern tinyxml2::XMLDocument* sectionxml;
