#include "http/url_commands.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/url.h"
#include "net/connection.h"

namespace {

const char LABEL_PREFIX[] = "xx--";
const size_t LABEL_PREFIX_LENGTH = sizeof(LABEL_PREFIX) - 1;
// Largest Location text url_command_add builds, terminator included.
const size_t LOCATION_MAX = 4096;

char* checked_strndup(const char* text, size_t length) {
    char* copy = xstrndup(text, length);
    if (copy == NULL)
        FATAL_ALLOC("src/urlcommand", static_cast<unsigned>(length + 1));
    return copy;
}

char* checked_strdup(const std::string& text) {
    return checked_strndup(text.data(), text.size());
}

// Length of the complete label at the start of text ("." included), or 0
// when the text does not begin with one. The label ends at the first "."
// after "xx--", except that options in brackets may hold dots themselves
// ("xx--template[proxy.pac].").
size_t label_length(const char* text) {
    if (strncasecmp(text, LABEL_PREFIX, LABEL_PREFIX_LENGTH) != 0)
        return 0;
    const char* name = text + LABEL_PREFIX_LENGTH;
    const char* dot = strchr(name, '.');
    if (dot == NULL)
        return 0;
    const char* open = static_cast<const char*>(memchr(name, '[', static_cast<size_t>(dot - name)));
    const char* close = open != NULL ? strchr(open, ']') : NULL;
    if (close != NULL && close > dot) {
        const char* after = strchr(close, '.');
        if (after != NULL)
            dot = after;
    }
    return static_cast<size_t>(dot - text) + 1;
}

// A new command from the label of `length` characters at text.
url_command_t* command_from_label(const char* text, size_t length) {
    const char* name = text + LABEL_PREFIX_LENGTH;
    const char* end = text + length - 1; // the closing "."
    const char* open = static_cast<const char*>(memchr(name, '[', static_cast<size_t>(end - name)));
    auto* command = static_cast<url_command_t*>(xmalloc(sizeof(url_command_t)));
    if (command == NULL)
        FATAL_ALLOC("src/urlcommand", static_cast<unsigned>(sizeof(url_command_t)));
    if (open == NULL) {
        command->name = checked_strndup(name, static_cast<size_t>(end - name));
        return command;
    }
    command->name = checked_strndup(name, static_cast<size_t>(open - name));
    const char* close = static_cast<const char*>(memchr(open + 1, ']', static_cast<size_t>(end - open - 1)));
    if (close != NULL)
        command->options = checked_strndup(open + 1, static_cast<size_t>(close - open - 1));
    return command;
}

url_command_t** commands_append(url_command_t** commands, size_t count, url_command_t* command) {
    size_t bytes = (count + 2) * sizeof(url_command_t*);
    auto* grown = static_cast<url_command_t**>(xrealloc(commands, bytes));
    if (grown == NULL)
        FATAL_ALLOC("src/urlcommand", static_cast<unsigned>(bytes));
    grown[count] = command;
    grown[count + 1] = NULL;
    return grown;
}

// The request's authority as the client named it: the request host and
// port, or, for a request without a host in its request line, the Host
// header, whose own port (when it names one) is the one the client used.
std::string request_authority(const HEADER* request) {
    if (request->host != NULL)
        return std::string(request->host) + ":" + std::to_string(request->port);
    const char* host_header = request->host_header != NULL ? request->host_header : "";
    url_authority_t pieces;
    url_authority_split(host_header, strlen(host_header), &pieces);
    if (pieces.port != NULL && pieces.port_length > 0)
        return host_header;
    return std::string(pieces.host, pieces.host_length) + ":" + std::to_string(request->port);
}

const char* or_empty(const char* text) {
    return text != NULL ? text : "";
}

// Number of characters of the encoded text that decode to the first
// `decoded` characters (url_decode turns every "%XX" into one character and
// every other character into one).
size_t encoded_prefix_length(const char* encoded, size_t decoded) {
    size_t offset = 0;
    for (size_t i = 0; i < decoded && encoded[offset] != '\0'; i++) {
        if (encoded[offset] == '%' && isxdigit(static_cast<unsigned char>(encoded[offset + 1])) &&
            isxdigit(static_cast<unsigned char>(encoded[offset + 2])))
            offset += 3;
        else
            offset += 1;
    }
    return offset;
}

// Takes commands out of a Referer value; the value loses their labels and
// keeps every other byte as the client sent it. NULL when it carries none.
url_command_t** referer_commands(HEADER* request) {
    const char* referer = request->referer;
    const char* separator = strstr(referer, "://");
    const char* rest = separator != NULL ? separator + 3 : referer;
    char* decoded = url_decode(rest, static_cast<unsigned>(-1));
    size_t decoded_length = strlen(decoded);
    url_command_t** commands = url_command_parse(decoded);
    if (commands == NULL) {
        free(decoded);
        return NULL;
    }
    size_t consumed = decoded_length - strlen(decoded);
    free(decoded);
    std::string rewritten = separator != NULL
                                ? std::string(referer, static_cast<size_t>(rest - referer))
                                : std::string(or_empty(request->scheme)) + "://";
    rewritten += rest + encoded_prefix_length(rest, consumed);
    free(request->referer);
    request->referer = checked_strdup(rewritten);
    return commands;
}

// Takes the commands from the first path segment of a transparent request
// without Host header; the segment goes with them.
url_command_t** path_commands(HEADER* request) {
    const char* path = request->path;
    if (path == NULL || path[0] != '/')
        return NULL;
    const char* second = strchr(path + 1, '/');
    if (second == NULL)
        return NULL;
    char* segment = url_decode(path + 1, static_cast<unsigned>(second - path - 1));
    url_command_t** commands = url_command_parse(segment);
    free(segment);
    if (commands != NULL) {
        char* shortened = checked_strndup(second, strlen(second));
        free(request->path);
        request->path = shortened;
    }
    return commands;
}

void send_redirect(CONNECTION_T* connection, url_command_t** commands) {
    HEADER* request = connection->request;
    char* labels = url_command_create(commands);
    std::string location = std::string(or_empty(request->scheme)) + "://" + labels +
                           request_authority(request) + or_empty(request->path);
    free(labels);
    header_send_redirect(connection, location);
}

} // namespace

url_command_t** url_command_parse(char* text) {
    if (text == NULL)
        return NULL;
    url_command_t** commands = NULL;
    size_t count = 0;
    size_t offset = 0;
    size_t length;
    while ((length = label_length(text + offset)) != 0) {
        commands = commands_append(commands, count++, command_from_label(text + offset, length));
        offset += length;
    }
    if (offset > 0)
        memmove(text, text + offset, strlen(text + offset) + 1);
    return commands;
}

url_command_t* url_command_find(url_command_t** commands, const char* name) {
    if (commands == NULL || name == NULL)
        return NULL;
    for (url_command_t** command = commands; *command != NULL; command++)
        if (strcasecmp((*command)->name, name) == 0)
            return *command;
    return NULL;
}

char* url_command_create(url_command_t** commands) {
    std::string labels;
    for (url_command_t** command = commands; command != NULL && *command != NULL; command++) {
        labels += LABEL_PREFIX;
        labels += (*command)->name;
        if ((*command)->options != NULL) {
            labels += '[';
            labels += (*command)->options;
            labels += ']';
        }
        labels += '.';
    }
    return checked_strdup(labels);
}

char* url_command_add(CONNECTION_T* connection, const char* location) {
    const HEADER* request = connection->request;
    char* labels = url_command_create(connection->url_commands);
    std::string prefix = std::string(or_empty(request->scheme)) + "://" + labels;
    free(labels);
    std::string result;
    const char* separator = strstr(location, "://");
    if (separator != NULL) {
        result = prefix + (separator + 3);
    } else if (location[0] == '/') {
        result = prefix + request_authority(request) + location;
    } else {
        const char* path = or_empty(request->path);
        const char* last_slash = strrchr(path, '/');
        result = prefix + request_authority(request);
        if (last_slash != NULL)
            result.append(path, static_cast<size_t>(last_slash - path) + 1);
        result += location;
    }
    if (result.size() > LOCATION_MAX - 1)
        result.resize(LOCATION_MAX - 1);
    return checked_strdup(result);
}

int url_command_extract(CONNECTION_T* connection) {
    url_command_free(connection->url_commands);
    connection->url_commands = NULL;
    HEADER* request = connection->request;

    if (request->type == REQUEST_TRANSPARENT) {
        if (request->host_header != NULL)
            connection->url_commands = url_command_parse(request->host_header);
        else
            connection->url_commands = path_commands(request);
    } else {
        connection->url_commands = url_command_parse(request->host);
        if (connection->url_commands != NULL)
            header_complete(request);
    }

    if (request->referer == NULL)
        return 1;
    url_command_t** inherited = referer_commands(request);
    if (inherited == NULL)
        return 1;
    if (connection->url_commands != NULL) {
        url_command_free(inherited);
        return 1;
    }
    if (request->method == NULL || strcasecmp(request->method, "GET") != 0 ||
        (request->host == NULL && request->host_header == NULL)) {
        connection->url_commands = inherited;
        return 1;
    }
    send_redirect(connection, inherited);
    url_command_free(inherited);
    return 0;
}

void url_command_log(url_command_t** commands) {
    for (url_command_t** command = commands; command != NULL && *command != NULL; command++) {
        if ((*command)->options != NULL)
            putlog(LOG_URLCOMMAND, "command: %s, options: %s", (*command)->name, (*command)->options);
        else
            putlog(LOG_URLCOMMAND, "command: %s", (*command)->name);
    }
}

void url_command_free(url_command_t** commands) {
    if (commands == NULL)
        return;
    for (url_command_t** command = commands; *command != NULL; command++) {
        free((*command)->name);
        free((*command)->options);
        free(*command);
    }
    free(commands);
}
