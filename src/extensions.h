// Registries through which sections and plug-ins join the request road:
// processors by numbered stage and hooks by numbered event.
#pragma once

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
