// Registries through which sections and plug-ins join the request road:
// processors by numbered stage and hooks by numbered event.
#pragma once

class Filebuf;
struct CONNECTION_T;

// Processor stages; stages 0, 1, 2, 4 and 7 stop at the first callback that
// returns 1, the others run every callback.
enum {
    PROCESSOR_REQCHECK = 0,
    PROCESSOR_REQMOD = 1,
    PROCESSOR_RESPCHECK = 2,
    PROCESSOR_RESPMOD = 3,
    PROCESSOR_BUFFCHECK = 4,
    PROCESSOR_REQHEADER = 5,
    PROCESSOR_RESPHEADER = 6,
    PROCESSOR_AUTH = 7,
};

typedef int (*processor_t)(CONNECTION_T* connection, Filebuf* body);

class Processors {
public:
    // Registers a callback for a stage (start-up thread only).
    static void Add(int stage, processor_t function);
    // Runs the stage's callbacks in registration order; returns 1 when a
    // callback of a stopping stage returned 1, else the last result (0 when
    // none ran).
    static int Execute(int stage, CONNECTION_T* connection, Filebuf* body);
};

enum {
    HOOK_CONFIGURE = 0,
    HOOK_PRERESPMOD = 1,
    HOOK_POSTRESPMOD = 2,
};

class Hooks {
public:
    // Calls every hook of the point in registration order, stopping after
    // the first that returns 1; returns the last result, 0 when none ran.
    static int Execute(int point, void* first, void* second);
};
