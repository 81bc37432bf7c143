#include "filter/redirect.h"

RedirectSection* redirect_section = nullptr;

RedirectSection::RedirectSection() : Section("redirect", SECTION_RWLOCK) {}

int RedirectSection::redirect_do(CONNECTION_T*, int) {
    return 0;
}
