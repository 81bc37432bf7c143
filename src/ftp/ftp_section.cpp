#include "ftp/ftp_section.h"

FtpSection* ftp_section = nullptr;

FtpSection::FtpSection()
    : Section("ftp", SECTION_RWLOCK),
      user(&global_field(2, FIELD_STRING).text),
      password(&global_field(3, FIELD_STRING).text),
      passive_(&global_field(0, FIELD_BOOL).value),
      timeout_(&global_field(1, FIELD_INT).value),
      sortorder_(&global_field(4, FIELD_STRING_SELECT_ONE).value),
      sortfield_(&global_field(5, FIELD_STRING_SELECT_ONE).value) {}

int FtpSection::passive_get() const {
    return atomic_read(passive_);
}

int FtpSection::timeout_get() const {
    return atomic_read(timeout_);
}

int FtpSection::sortorder_get() const {
    return atomic_read(sortorder_);
}

int FtpSection::sortfield_get() const {
    return atomic_read(sortfield_);
}
