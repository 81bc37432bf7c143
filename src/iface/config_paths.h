// Where the web interface's load and save pages may read and write the
// configuration: an interface user must not make the daemon fetch any URL
// or read or write any file it names.
//
// Contract:
// - A load reads a regular file under the directory of the configuration
//   file given on the command line (symbolic links resolved; a relative
//   name is taken in that directory), or the configuration URL itself when
//   the configuration was given as a URL. A file name holding ':' is
//   refused, since the loader takes such a name for a URL.
// - A save writes only the configuration file itself (the name given must
//   be it, literally or after resolving links); a configuration given as a
//   URL cannot be saved from the pages.
// - Pure functions of their arguments and the file system; no lock.
#pragma once

#include <string>

// True when `requested` may be loaded for the configuration `configpath`;
// *source is then what to hand to config_load. False: *why says why.
bool config_load_source(const std::string& requested, const std::string& configpath,
                        std::string* source, std::string* why);

// True when `requested` names the configuration file `configpath`; *target
// is then the file to write. False: *why says why.
bool config_save_target(const std::string& requested, const std::string& configpath,
                        std::string* target, std::string* why);
