// Configuration section: MIME filter.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class MimeSection {
public:
    MimeSection();
};

extern MimeSection* mime_section;
