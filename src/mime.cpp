#include "mime.h"

MimeSection* mime_section = nullptr;

MimeSection::MimeSection() : Section("mime-filtering", SECTION_RWLOCK) {}
