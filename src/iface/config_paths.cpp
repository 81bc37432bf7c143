#include "iface/config_paths.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "core/misc.h"

namespace {

// What config_load takes for a URL: a name that splits at ':' into two or
// more non-empty pieces.
bool names_url(const std::string& path) {
    char** pieces = string_break(path.c_str(), ':');
    bool url = array_length(pieces) >= 2;
    array_free(pieces);
    return url;
}

// The path with its links resolved, or "" when it does not exist.
std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

// The resolved directory of the configuration file, "" when there is none.
std::string configuration_directory(const std::string& configpath) {
    if (configpath.empty() || names_url(configpath))
        return std::string();
    std::string file = resolved(configpath);
    if (file.empty())
        return std::string();
    size_t slash = file.rfind('/');
    return slash == 0 ? std::string("/") : file.substr(0, slash);
}

} // namespace

bool config_load_source(const std::string& requested, const std::string& configpath,
                        std::string* source, std::string* why) {
    if (requested.empty()) {
        *why = "no file was named";
        return false;
    }
    if (names_url(requested)) {
        if (requested == configpath) {
            *source = requested;
            return true;
        }
        *why = "only the configuration URL " + configpath +
               " can be loaded from a URL; other URLs are not fetched";
        if (!names_url(configpath))
            *why = "URLs are not fetched: the configuration is the file " + configpath;
        return false;
    }
    if (requested.find(':') != std::string::npos) {
        *why = "a file name may not hold ':'";
        return false;
    }
    std::string directory = configuration_directory(configpath);
    if (directory.empty()) {
        *why = "there is no configuration directory to load files from";
        return false;
    }
    std::string wanted = requested[0] == '/' ? requested : directory + "/" + requested;
    std::string file = resolved(wanted);
    std::string prefix = directory == "/" ? directory : directory + "/";
    struct stat status;
    if (file.empty() || file.compare(0, prefix.size(), prefix) != 0) {
        *why = "only files under the configuration directory " + directory + " can be loaded";
        return false;
    }
    if (stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        *why = requested + " is not a regular file";
        return false;
    }
    *source = file;
    return true;
}

bool config_save_target(const std::string& requested, const std::string& configpath,
                        std::string* target, std::string* why) {
    if (configpath.empty() || names_url(configpath)) {
        *why = "the configuration was not loaded from a file and cannot be saved here";
        return false;
    }
    if (requested != configpath) {
        std::string file = resolved(requested);
        if (file.empty() || file != resolved(configpath)) {
            *why = "settings are saved only to the configuration file " + configpath;
            return false;
        }
    }
    *target = configpath;
    return true;
}
