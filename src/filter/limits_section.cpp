#include "filter/limits_section.h"

#include "net/connection.h"

LimitSection* limit_section = nullptr;

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK) {}

void LimitSection::update(CONNECTION_T*) {}

bool LimitSection::check_and_block(CONNECTION_T* connection) {
    connection->bytes_down = 0;
    connection->bytes_up = 0;
    connection->down_allowance = -1;
    connection->up_allowance = -1;
    return false;
}

void limits_reset(void*) {}
