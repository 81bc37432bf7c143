#include "ftp_section.h"

FtpSection* ftp_section = nullptr;

FtpSection::FtpSection() {}
