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

    // Server pool limits: most idle upstream connections kept, and the idle
    // seconds after which one is dropped.
    int poolsize_get();
    int pooltimeout_get();
    // Per-connection settings: connect time-out (s), largest response and
    // request bodies buffered for processing, seconds allowed for buffering
    // (0: no limit), compression towards the client, and whether a MIME type
    // may be compressed.
    int ctimeout_get(CONNECTION_T* connection);
    unsigned maxdbuffer_get(CONNECTION_T* connection);
    unsigned maxubuffer_get(CONNECTION_T* connection);
    int bufferwait_get(CONNECTION_T* connection);
    int compressout_get(CONNECTION_T* connection);
    int encodemime_check(CONNECTION_T* connection, const char* mime);

    // The values the getters give until the section's fields and General
    // entries exist.
    int io_timeout = 60;
    int poolsize = 100;
    int pooltimeout = 30;
    int connect_timeout = 60;
    unsigned maxdbuffer = 0;
    unsigned maxubuffer = 0;
    int bufferwait = 0;
    int compressout = 0;
};

extern GeneralSection* general_section;
