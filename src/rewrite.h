// Configuration section: rewriting.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class RewriteSection {
public:
    RewriteSection();
};

extern RewriteSection* rewrite_section;
