// Configuration section: FTP settings.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

class FtpSection : public Section {
public:
    FtpSection();
    void update() override {}
};

extern FtpSection* ftp_section;
