#include "config/configfile.h"

#include <string.h>

#include "config/section.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "http/http_client.h"
#include "http/url.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

XMLDocument* document = nullptr;
pthread_mutex_t documentlock = PTHREAD_MUTEX_INITIALIZER;
time_t documentsynctime = 0;

namespace {

void report(StringList* errors, const std::string& message) {
    putlog(LOG_ERROR, "%s", message.c_str());
    if (errors != nullptr)
        errors->push_back(message);
}

// The URL as the log may show it: a password in its user part is hidden.
std::string url_shown(const std::string& url) {
    size_t authority = url.find("://");
    if (authority == std::string::npos)
        return url;
    authority += 3;
    size_t end = url.find_first_of("/?#", authority);
    size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < authority)
        return url;
    size_t colon = url.find(':', authority);
    if (colon == std::string::npos || colon > at)
        return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

// The parsed document when it is a configuration document; otherwise the
// fault is reported, the document freed and NULL returned.
XMLDocument* checked_document(XMLDocument* parsed, const std::string& origin,
                              StringList* errors) {
    if (parsed->Error()) {
        const char* reason = parsed->ErrorStr();
        report(errors, "configuration " + origin + " cannot be loaded: " +
                           (reason != nullptr ? reason : ""));
    } else if (parsed->RootElement() == nullptr ||
               strcmp(parsed->RootElement()->Name(), "kestrivan") != 0) {
        report(errors, "configuration " + origin + " cannot be loaded: its root element is not kestrivan");
    } else {
        return parsed;
    }
    delete parsed;
    return nullptr;
}

// Applies a parsed configuration document to every section and makes it
// the current document. The caller holds documentlock.
int apply(XMLDocument* parsed, int mode, const std::string& origin, StringList* errors) {
    XMLElement* root = parsed->RootElement();
    int applied = 0;
    int refused = 0;
    for (const auto& entry : Section::map) {
        if (root->FirstChildElement(entry.first.c_str()) == nullptr)
            continue; // a section the document lacks keeps what it has
        try {
            entry.second->load(parsed, mode);
            ++applied;
        } catch (const ConfigError& flaw) {
            if (mode == CONFIG_LOAD_STARTUP) {
                pthread_mutex_unlock(&documentlock);
                fatal_error("src/section", 402, "error_log", 0);
            }
            ++refused;
            if (errors != nullptr)
                errors->push_back(flaw.what());
            putlog(LOG_ERROR, "configuration %s: section %s was not loaded and keeps its previous values",
                   origin.c_str(), entry.first.c_str());
        }
    }
    for (const XMLElement* child = root->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement())
        if (Section::map.count(child->Name()) == 0) {
            // Kept in the document (a plug-in's section while the plug-in is
            // missing survives a save), but reported.
            ++refused;
            report(errors, "configuration " + origin + ": unknown section " + child->Name() +
                               " is ignored");
        }
    delete document;
    document = parsed;
    if (refused == 0)
        return 1;
    return applied > 0 ? -1 : 0;
}

// A path that splits at ':' into two or more non-empty pieces is a URL.
bool is_url(const std::string& path) {
    char** pieces = string_break(path.c_str(), ':');
    bool url = array_length(pieces) >= 2;
    array_free(pieces);
    return url;
}

} // namespace

int config_load(int mode, std::string path, StringList* errors) {
    if (is_url(path))
        return config_url_load(path, mode, errors);

    XMLDocument* parsed = new XMLDocument();
    parsed->LoadFile(path.c_str());
    parsed = checked_document(parsed, "file " + path, errors);
    if (parsed == nullptr) {
        if (mode == CONFIG_LOAD_STARTUP)
            fatal_error("src/main", 1184, "config_load", 0);
        return 0;
    }
    pthread_mutex_lock(&documentlock);
    int result = apply(parsed, mode, "file " + path, errors);
    if (result != 0 && !slave)
        documentsynctime = time(nullptr);
    pthread_mutex_unlock(&documentlock);
    return result;
}

int config_url_load(std::string url, int mode, StringList* errors) {
    std::string shown = url_shown(url);
    // A longer URL would be cut and name another document.
    if (url.size() > 255) {
        report(errors, "configuration URL " + shown.substr(0, 255) + "... is longer than 255 characters");
        if (mode == CONFIG_LOAD_STARTUP)
            fatal_error("src/main", 1211, "config_url_load", 0);
        return 0;
    }
    // A URL that does not parse names no document at all: at start-up the
    // proxy must not go on with its built-in defaults as if it had loaded one.
    // Only http and https are fetched; "file:x" is as little a document as
    // a URL that does not parse.
    URL* parsed_url = url_parse(url.c_str());
    bool fetchable = parsed_url != nullptr && (strcmp(parsed_url->scheme, "http") == 0 ||
                                               strcmp(parsed_url->scheme, "https") == 0);
    url_free(parsed_url);
    if (!fetchable) {
        report(errors, "configuration URL " + shown + " is not a valid http URL");
        if (mode == CONFIG_LOAD_STARTUP)
            fatal_error("src/main", 1211, "config_url_load", 0);
        return 0;
    }
    int status = 0;
    Filebuf* body = nullptr;
    if (!http_fetch_document(url, &status, &body)) {
        report(errors, "configuration URL " + shown + ": no response");
        return 0;
    }
    if (status != 200 || body == nullptr) {
        report(errors, "configuration URL " + shown + ": the server answered with status " +
                           std::to_string(status));
        delete body;
        return 0;
    }
    XMLDocument* parsed = new XMLDocument();
    parsed->Parse(body->data != nullptr ? body->data : "", body->size);
    delete body;
    parsed = checked_document(parsed, "URL " + shown, errors);
    if (parsed == nullptr)
        return 0;
    pthread_mutex_lock(&documentlock);
    int result = apply(parsed, mode, "URL " + shown, errors);
    pthread_mutex_unlock(&documentlock);
    return result;
}

void config_xml_build() {
    if (document == nullptr || document->RootElement() == nullptr) {
        delete document;
        document = new XMLDocument();
        document->InsertEndChild(document->NewDeclaration());
        document->InsertEndChild(document->NewElement("kestrivan"));
    }
    for (const auto& entry : Section::map)
        entry.second->save(document);
}

int config_save(const std::string& path) {
    pthread_mutex_lock(&documentlock);
    config_xml_build();
    tinyxml2::XMLPrinter printer;
    document->Print(&printer);
    pthread_mutex_unlock(&documentlock);

    Filebuf text;
    text.Add(printer.CStr(), static_cast<unsigned>(printer.CStrSize() - 1));
    if (text.Save(path.c_str()) == -1) {
        putlog(LOG_ERROR, "configuration file %s could not be written", path.c_str());
        return 0;
    }
    return 1;
}
