// The extension registries through which sections and plug-ins join the
// request road without the road knowing them:
//   processors - content processors, by numbered stage;
//   hooks      - callbacks, by numbered hook point;
//   protocols  - request handlers, by URL scheme.
// The three global objects are exported by name; plug-ins link against
// `processors` and `hooks` directly.
//
// Contract:
// - Each registry keeps its callbacks in registration order. A function is
//   registered at most once per registry (a second Add of the same function,
//   under any stage, point or name, is refused with 0 and changes nothing).
// - No lock: Add and Remove happen only on the start-up thread (section
//   constructors, module loading) before any worker thread exists; Execute
//   only reads and may run on any thread at the same time.
// - The registries do not own what the callbacks receive: the caller's
//   connection and buffer are lent for the duration of the call.
#pragma once

#include <list>
#include <string>

struct CONNECTION_T;
class Filebuf;

// Processor stages. For the stages marked "stops", Execute stops after the
// first callback that returns 1.
enum {
    PROCESSOR_REQCHECK = 0,   // stops: request blocked and already answered
    PROCESSOR_REQMOD = 1,     // stops: request-body modification done
    PROCESSOR_RESPCHECK = 2,  // stops: response blocked
    PROCESSOR_RESPMOD = 3,    // every callback runs (response-body modification)
    PROCESSOR_BUFFCHECK = 4,  // stops: the response body must be buffered
    PROCESSOR_REQHEADER = 5,  // every callback runs (raw request header text)
    PROCESSOR_RESPHEADER = 6, // every callback runs (raw response header text)
    PROCESSOR_AUTH = 7,       // stops: an answer was left on the connection
};

// Hook points. Execute always stops after the first callback returning 1.
enum {
    HOOK_CONFIGURE = 0,   // once at start-up, with (NULL, NULL)
    HOOK_PRERESPMOD = 1,  // before response processing; 1: client answered
    HOOK_POSTRESPMOD = 2, // after response processing; 1: response dealt with
};

using processor_fn = int (*)(CONNECTION_T*, Filebuf*);
using hook_fn = int (*)(void*, void*);
using protocol_fn = int (*)(CONNECTION_T*);

struct Processor {
    int stage;
    processor_fn fn;
};

struct Hook {
    int point;
    hook_fn fn;
};

struct Protocol {
    std::string name; // scheme, compared exactly (case counts)
    protocol_fn fn;
};

class Processors {
public:
    // Appends {stage, fn}; 1, or 0 when fn is already registered.
    int Add(processor_fn fn, int stage);
    // Removes the first element with fn; 1, or 0 when there is none.
    int Remove(processor_fn fn);
    // Calls every processor of the stage in registration order with
    // (connection, buffer); for the stopping stages ends after the first
    // call that returns 1. Returns the result of the last call made, 0 when
    // none was made.
    int Execute(int stage, CONNECTION_T* connection, Filebuf* buffer) const;

    std::list<Processor> list;
};

class Hooks {
public:
    // Appends {point, fn}; 1, or 0 when fn is already registered.
    int Add(hook_fn fn, int point);
    // Removes the first element with fn; 1, or 0 when there is none.
    int Remove(hook_fn fn);
    // Calls every hook of the point in registration order with (first,
    // second), stopping after the first that returns 1; returns the last
    // result, 0 when none ran.
    int Execute(int point, void* first, void* second) const;

    std::list<Hook> list;
};

class Protocols {
public:
    // Appends {name, fn}; 1, or 0 when fn is already registered.
    int Add(protocol_fn fn, const std::string& name);
    // Removes the first element with fn; 1, or 0 when there is none.
    int Remove(protocol_fn fn);
    // Runs the first handler registered under exactly this name and returns
    // its result; -1 when there is none (the caller falls back to its
    // built-in handling).
    int Execute(const std::string& name, CONNECTION_T* connection) const;

    std::list<Protocol> list;
};

extern Processors processors;
extern Hooks hooks;
extern Protocols protocols;
