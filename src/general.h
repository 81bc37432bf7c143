// Configuration section: general settings.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "section.h"

struct CONNECTION_T;

class GeneralSection : public Section {
public:
    GeneralSection();
    void update() override {}
    // Host name by which the proxy names itself where -H gave none.
    const char* hostname = "";
    // I/O and keep-alive time-outs (seconds) of a connection; each is also
    // stored in the connection. 60 until General entries exist.
    int timeout_get(CONNECTION_T* connection);
    int keeptimeout_get(CONNECTION_T* connection);
};

extern GeneralSection* general_section;
