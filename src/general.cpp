#include "general.h"

#include "connection.h"

GeneralSection* general_section = nullptr;

GeneralSection::GeneralSection() : Section("general", SECTION_RWLOCK) {}

static const int DEFAULT_TIMEOUT = 60;

int GeneralSection::timeout_get(CONNECTION_T* connection) {
    connection->timeout = io_timeout;
    return io_timeout;
}

int GeneralSection::keeptimeout_get(CONNECTION_T* connection) {
    connection->keepalive_timeout = DEFAULT_TIMEOUT;
    return DEFAULT_TIMEOUT;
}

int GeneralSection::poolsize_get() { return poolsize; }
int GeneralSection::pooltimeout_get() { return pooltimeout; }
int GeneralSection::ctimeout_get(CONNECTION_T*) { return connect_timeout; }
unsigned GeneralSection::maxdbuffer_get(CONNECTION_T*) { return maxdbuffer; }
unsigned GeneralSection::maxubuffer_get(CONNECTION_T*) { return maxubuffer; }
int GeneralSection::bufferwait_get(CONNECTION_T*) { return bufferwait; }
int GeneralSection::compressout_get(CONNECTION_T*) { return compressout; }
int GeneralSection::encodemime_check(CONNECTION_T*, const char*) { return 0; }
