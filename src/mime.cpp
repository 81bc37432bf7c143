#include "mime.h"

MimeSection* mime_section = nullptr;

MimeSection::MimeSection() {}
