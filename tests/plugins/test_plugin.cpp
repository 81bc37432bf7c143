// A plug-in module for the module loader's tests. Its name, its section's
// name, its entry's result and its callbacks' result come from the build
// (see CMakeLists.txt); it uses only what the executable exports.
#include "config/section.h"
#include "core/extensions.h"

#ifndef PLUGIN_WITHOUT_ENTRY
namespace {

class PluginSection : public Section {
public:
    PluginSection() : Section(PLUGIN_SECTION, SECTION_RWLOCK) {}
    void update() override {}
};

int plugin_hook(void*, void*) {
    return PLUGIN_HOOK_RESULT;
}

int plugin_processor(CONNECTION_T*, Filebuf*) {
    return PLUGIN_HOOK_RESULT;
}

int plugin_protocol(CONNECTION_T*) {
    return PLUGIN_HOOK_RESULT;
}

} // namespace

#define ENTRY_OF(name) ENTRY_PASTE(name)
#define ENTRY_PASTE(name) name##_load

extern "C" bool ENTRY_OF(PLUGIN_NAME)() {
    new PluginSection();
    hooks.Add(plugin_hook, HOOK_CONFIGURE);
    processors.Add(plugin_processor, PROCESSOR_RESPCHECK);
    protocols.Add(plugin_protocol, "kvtest");
    return PLUGIN_RESULT;
}
#endif
