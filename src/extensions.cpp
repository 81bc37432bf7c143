#include "extensions.h"

#include <list>
#include <utility>

// Registered processors in registration order. Filled on the start-up
// thread only and read without a lock afterwards.
static std::list<std::pair<int, processor_t>> processor_list;

void Processors::Add(int stage, processor_t function) { processor_list.emplace_back(stage, function); }

int Processors::Execute(int stage, CONNECTION_T* connection, Filebuf* body) {
    bool stops = stage == PROCESSOR_REQCHECK || stage == PROCESSOR_REQMOD ||
                 stage == PROCESSOR_RESPCHECK || stage == PROCESSOR_BUFFCHECK ||
                 stage == PROCESSOR_AUTH;
    int result = 0;
    for (const auto& entry : processor_list) {
        if (entry.first != stage)
            continue;
        result = entry.second(connection, body);
        if (stops && result == 1)
            return 1;
    }
    return result;
}

int Hooks::Execute(int, void*, void*) { return 0; }
