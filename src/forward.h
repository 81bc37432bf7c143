// Configuration section: parent proxies.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

class ForwardSection {
public:
    ForwardSection();
};

extern ForwardSection* forward_section;
