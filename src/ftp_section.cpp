#include "ftp_section.h"

FtpSection* ftp_section = nullptr;

FtpSection::FtpSection() : Section("ftp", SECTION_RWLOCK) {}
