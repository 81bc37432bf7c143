#include "general.h"

#include "connection.h"

GeneralSection* general_section = nullptr;

GeneralSection::GeneralSection() : Section("general", SECTION_RWLOCK) {}

static const int DEFAULT_TIMEOUT = 60;

int GeneralSection::timeout_get(CONNECTION_T* connection) {
    connection->timeout = DEFAULT_TIMEOUT;
    return DEFAULT_TIMEOUT;
}

int GeneralSection::keeptimeout_get(CONNECTION_T* connection) {
    connection->keepalive_timeout = DEFAULT_TIMEOUT;
    return DEFAULT_TIMEOUT;
}
