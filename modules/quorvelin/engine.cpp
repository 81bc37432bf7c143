#include "quorvelin/engine.h"

#include <dlfcn.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "core/log.h"
#include "quorvelin/quorvelin.h"

extern "C" {
void* hIAEngine = nullptr;
void* hIAImageReader = nullptr;
bool (*CheckIfImageIsValid)(const unsigned char*, int, int*, int*, int*) = nullptr;
bool (*DecodeImageIntoBGRBuffer)(const unsigned char*, int, unsigned char*, int) = nullptr;
int (*DeInitializeEngine)() = nullptr;
int (*CheckForVisualVirusFromBGRBuffer2)(unsigned char*, int, int, int, int, int) = nullptr;
int (*InitializeEngine)() = nullptr;
}

namespace {

// Longest library path taken; a longer one is refused rather than cut,
// since a cut path could name another library.
const size_t ENGINE_PATH_MAX = 510;

const char* dl_reason() {
    const char* reason = dlerror();
    return reason != nullptr ? reason : "";
}

// One function the filter calls: where it is looked up, and the name its
// failure message gives it.
struct Binding {
    void** library;
    const char* symbol;
    const char* label;
    void* slot; // the address of the function pointer to fill
};

// Looks the function up and stores it; false (logged) when the library
// lacks it. POSIX lets a data pointer from dlsym hold a function address.
bool bind(const Binding& binding) {
    dlerror();
    void* address = dlsym(*binding.library, binding.symbol);
    if (address == nullptr) {
        putlog(LOG_ERROR, "quorvelin: Failed to get the address of '%s' function - %s",
               binding.label, dl_reason());
        return false;
    }
    memcpy(binding.slot, &address, sizeof address);
    return true;
}

} // namespace

void QuorvelinSection::initialize_engine() {
    // Start-up is single-threaded: the directory is read without the lock.
    std::string engine_path = *directory + "/" + ENGINE_LIBRARY;
    std::string reader_path = *directory + "/" + READER_LIBRARY;
    if (engine_path.size() > ENGINE_PATH_MAX || reader_path.size() > ENGINE_PATH_MAX) {
        putlog(LOG_ERROR, "quorvelin: library path longer than %zu characters: %s",
               ENGINE_PATH_MAX, reader_path.c_str());
        return;
    }
    struct stat info;
    for (const std::string* path : {&engine_path, &reader_path})
        if (stat(path->c_str(), &info) != 0) {
            putlog(LOG_ERROR, "quorvelin: library not found: %s", path->c_str());
            return;
        }
    putlog(LOG_MODULE, "debug: quorvelin: Engine[%s] Imgreader[%s]", engine_path.c_str(),
           reader_path.c_str());

    // RTLD_DEEPBIND: the libraries keep their own symbols first, so their
    // functions never resolve to this plug-in's pointers of the same names.
    hIAEngine = dlopen(engine_path.c_str(), RTLD_NOW | RTLD_DEEPBIND);
    if (hIAEngine == nullptr) {
        putlog(LOG_ERROR, "quorvelin: Error in loading Engine library %s", dl_reason());
        return;
    }
    hIAImageReader = dlopen(reader_path.c_str(), RTLD_NOW | RTLD_DEEPBIND);
    if (hIAImageReader == nullptr) {
        putlog(LOG_ERROR, "quorvelin: Error in loading image reader library %s", dl_reason());
        return;
    }

    // In this order: the reader's two, then the engine's three.
    const Binding bindings[] = {
        {&hIAImageReader, "CheckIfImageIsValid", "CheckIfImageIsValid", &CheckIfImageIsValid},
        {&hIAImageReader, "DecodeImageIntoBGRBuffer", "DecodeImageIntoBGRBuffer",
         &DecodeImageIntoBGRBuffer},
        {&hIAEngine, "DeInitializeEngine", "DeInitializeEngine", &DeInitializeEngine},
        {&hIAEngine, "CheckForVisualVirusFromBGRBuffer2", "CheckForVisualVirusFromBGRBuffer",
         &CheckForVisualVirusFromBGRBuffer2},
        {&hIAEngine, "InitializeEngine", "InitializeEngine", &InitializeEngine},
    };
    for (const Binding& binding : bindings)
        if (!bind(binding))
            return;

    if (InitializeEngine() != 1) {
        putlog(LOG_ERROR, "quorvelin: Failed to initialize the Engine.");
        return;
    }
    putlog(LOG_MODULE, "quorvelin: Engine initialized");
    ready = true;
}
