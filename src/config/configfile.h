// The configuration document and the operations that move it between a
// file or an http URL and the sections: config_load, config_url_load,
// config_save and config_xml_build.
//
// `document` mirrors the sections' values: a load replaces it as a whole, a
// save or the "/xml" export rewrites it from the sections first. It and
// `documentsynctime` are guarded by `documentlock`, which every operation
// here holds for its whole run; it is always taken before any section lock
// and never by code that holds a section lock.
//
// A load reads and parses the whole document before anything changes: a
// file that cannot be read, is not XML (truncated, wrongly nested) or whose
// root is not "kestrivan" applies nothing, and the current document and
// every section stay as they were. A parsed document is then applied section
// by section in Section::map order; a section without an element keeps its
// values; a section with a malformed value keeps exactly its previous values
// and entries while the others load; an element that names no section is
// reported and kept in the document. Every fault is logged with the
// section, element, field and value, and added to `errors` when given.
//
// At start-up (mode CONFIG_LOAD_STARTUP) a configuration file that cannot be
// loaded, or a malformed value, stops the program through the fatal-error
// sequence instead: the proxy never serves with half a configuration. Any
// later load (the web interface, a URL, synchronisation) leaves a running
// daemon running.
#pragma once

#include <pthread.h>
#include <time.h>

#include <string>

#include <tinyxml2.h>

#include "config/config_lists.h"

// Load modes, handed to Section::load: how entries already present are
// treated.
enum {
    CONFIG_LOAD_APPEND = 0,  // the file's entries are added after them
    CONFIG_LOAD_REPLACE = 1, // they are replaced, subsection by subsection
    CONFIG_LOAD_STARTUP = 3, // replaced, and any fault stops the program
};

extern tinyxml2::XMLDocument* document; // NULL until the first load or save
extern pthread_mutex_t documentlock;
extern time_t documentsynctime; // last change; Last-Modified of "/xml"

// Loads the configuration file at `path` (or, when the path splits at ':'
// into two or more non-empty pieces, the http URL) and applies it.
// Returns 1 when every section of the document was applied, -1 when some
// were and others were refused (named in the log and in `errors`), 0 when
// nothing was applied. A successful file load on an instance that is not a
// slave stamps documentsynctime.
int config_load(int mode, std::string path, StringList* errors = nullptr);

// Fetches the document from an http URL with the internal HTTP client and
// applies it like a file; a URL of more than 255 characters or one that does
// not parse (which at start-up stops the program), no response, a status
// other than 200 or a body that does not parse apply nothing. Same result as
// config_load; documentsynctime is not changed. A password in the URL's
// user part is never logged.
int config_url_load(std::string url, int mode, StringList* errors = nullptr);

// Rebuilds the document from the sections and writes it to `path` through a
// temporary file renamed over it, so a failed write leaves the old file
// intact. 1 when written, 0 when not (logged).
int config_save(const std::string& path);

// Rebuilds the document from the current values of every section (an empty
// document with the root "kestrivan" is made when there is none). The
// caller holds documentlock.
void config_xml_build();
