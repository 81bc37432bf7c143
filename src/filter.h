// Configuration section: URL filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class FilterSection {
public:
    FilterSection();
};

extern FilterSection* filter_section;
