#include "core/modules.h"

#include <dirent.h>
#include <dlfcn.h>
#include <string.h>
#include <sys/stat.h>

#include <list>
#include <map>
#include <string>

#include <tinyxml2.h>

#include "config/section.h"
#include "core/compat.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/log.h"

namespace {

// Longest library or definition path accepted; a longer one would have to
// be cut and could name another file.
const size_t MODULE_PATH_MAX = 254;

// What a module's entry may change in the process-wide registries, taken
// before the call so that a refusing module can be taken back out.
class Registrations {
public:
    Registrations()
        : processors_(processors.list), hooks_(hooks.list), protocols_(protocols.list),
          sections_(Section::map) {}

    // Puts the registries back as they were when this object was made.
    void restore() {
        processors.list = processors_;
        hooks.list = hooks_;
        protocols.list = protocols_;
        Section::map = sections_;
    }

private:
    std::list<Processor> processors_;
    std::list<Hook> hooks_;
    std::list<Protocol> protocols_;
    std::map<std::string, Section*> sections_;
};

// The module name of a directory entry, or "" when the entry is no module:
// the text after its last '.' must be exactly "so".
std::string module_name(const char* file) {
    const char* dot = strrchr(file, '.');
    if (dot == nullptr || strcmp(dot + 1, "so") != 0)
        return std::string();
    std::string name(file, static_cast<size_t>(dot - file));
    if (name.compare(0, 3, "lib") == 0)
        name.erase(0, 3);
    return name;
}

bool is_regular_file(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

int module_load(const char* name, const char* library_path, const char* xml_path) {
    void* library = dlopen(library_path, RTLD_LAZY | RTLD_GLOBAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        putlog(LOG_MODULE, "error: %s failed to load %s", reason != nullptr ? reason : "",
               library_path);
        return 0;
    }

    std::string entry_name = std::string(name) + "_load";
    dlerror();
    void* symbol = dlsym(library, entry_name.c_str());
    const char* lookup_error = dlerror();
    if (lookup_error != nullptr) {
        putlog(LOG_MODULE, "error: %s loading %s ", lookup_error, library_path);
        return 0;
    }
    auto entry = reinterpret_cast<bool (*)()>(symbol);

    tinyxml2::XMLDocument* previous = sectionxml;
    auto* own = new tinyxml2::XMLDocument();
    sectionxml = own;
    if (own->LoadFile(xml_path) != tinyxml2::XML_SUCCESS) {
        const char* reason = own->ErrorStr();
        putlog(LOG_ERROR, "module: Error: %s when parsing %s", reason != nullptr ? reason : "",
               xml_path);
        dlclose(library);
        sectionxml = previous;
        delete own;
        return 0;
    }

    Registrations before;
    bool loaded = false;
    try {
        loaded = entry();
    } catch (...) {
        // An exception must not cross into start-up; the module counts as
        // refused.
        loaded = false;
    }
    if (loaded) {
        putlog(LOG_MODULE, "loaded %s", library_path);
    } else {
        putlog(LOG_MODULE, "error: failed to load %s", library_path);
        before.restore();
        dlclose(library);
    }
    sectionxml = previous;
    delete own;
    return loaded ? 1 : 0;
}

void modules_load() {
    DIR* directory = s_opendir(moduledir);
    if (directory == nullptr) {
        putlog(LOG_MODULE, "error: cannot read module directory %s", moduledir);
        return;
    }
    while (struct dirent* file = readdir(directory)) {
        std::string name = module_name(file->d_name);
        if (name.empty())
            continue;
        std::string library_path = std::string(moduledir) + file->d_name;
        if (!is_regular_file(library_path))
            continue;
        std::string xml_path = std::string(moduledir) + name + ".xml";
        if (library_path.size() > MODULE_PATH_MAX || xml_path.size() > MODULE_PATH_MAX) {
            putlog(LOG_MODULE, "error: module path longer than %zu characters: %s",
                   MODULE_PATH_MAX, library_path.c_str());
            continue;
        }
        module_load(name.c_str(), library_path.c_str(), xml_path.c_str());
    }
    closedir(directory);
}
