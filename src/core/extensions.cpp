#include "core/extensions.h"

#include <algorithm>

Processors processors;
Hooks hooks;
Protocols protocols;

namespace {

// Removes the first element whose fn is the given function.
template <typename Element, typename Fn>
int remove_first(std::list<Element>& list, Fn fn) {
    auto found = std::find_if(list.begin(), list.end(),
                              [fn](const Element& element) { return element.fn == fn; });
    if (found == list.end())
        return 0;
    list.erase(found);
    return 1;
}

template <typename Element, typename Fn>
bool registered(const std::list<Element>& list, Fn fn) {
    return std::any_of(list.begin(), list.end(),
                       [fn](const Element& element) { return element.fn == fn; });
}

// Stages whose run ends at the first processor that returns 1.
bool stage_stops(int stage) {
    switch (stage) {
    case PROCESSOR_REQCHECK:
    case PROCESSOR_REQMOD:
    case PROCESSOR_RESPCHECK:
    case PROCESSOR_BUFFCHECK:
    case PROCESSOR_AUTH:
        return true;
    default:
        return false;
    }
}

} // namespace

int Processors::Add(processor_fn fn, int stage) {
    if (registered(list, fn))
        return 0;
    list.push_back(Processor{stage, fn});
    return 1;
}

int Processors::Remove(processor_fn fn) {
    return remove_first(list, fn);
}

int Processors::Execute(int stage, CONNECTION_T* connection, Filebuf* buffer) const {
    const bool stops = stage_stops(stage);
    int result = 0;
    for (const Processor& processor : list) {
        if (processor.stage != stage)
            continue;
        result = processor.fn(connection, buffer);
        if (stops && result == 1)
            break;
    }
    return result;
}

int Hooks::Add(hook_fn fn, int point) {
    if (registered(list, fn))
        return 0;
    list.push_back(Hook{point, fn});
    return 1;
}

int Hooks::Remove(hook_fn fn) {
    return remove_first(list, fn);
}

int Hooks::Execute(int point, void* first, void* second) const {
    int result = 0;
    for (const Hook& hook : list) {
        if (hook.point != point)
            continue;
        result = hook.fn(first, second);
        if (result == 1)
            break;
    }
    return result;
}

int Protocols::Add(protocol_fn fn, const std::string& name) {
    if (registered(list, fn))
        return 0;
    list.push_back(Protocol{name, fn});
    return 1;
}

int Protocols::Remove(protocol_fn fn) {
    return remove_first(list, fn);
}

int Protocols::Execute(const std::string& name, CONNECTION_T* connection) const {
    for (const Protocol& protocol : list)
        if (protocol.name == name)
            return protocol.fn(connection);
    return -1;
}
