// Configuration section: redirects.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class RedirectSection {
public:
    RedirectSection();
};

extern RedirectSection* redirect_section;
