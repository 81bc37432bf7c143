// URL commands: words a user puts in front of the host name of a URL to
// steer the proxy for one request ("xx--fresh.www.example.com",
// "xx--bypass[f].www.example.com"). The request road takes them out of the
// request so that the rest of the system sees the plain host, keeps them on
// the connection for the request, and carries them over to links followed
// from a page fetched with commands (through the Referer) and to redirects
// sent to the client.
//
// Syntax of one label, read from the start of a text: "xx--" (any case),
// then the name, optionally "[" options "]", then ".". The label ends at the
// first "." after "xx--"; a "[" inside it starts the options, which end at
// the next "]" inside the label (no "]": the command has no options). A text
// that begins with "xx--" but has no "." is not a label and is left alone.
//
// Ownership: a command array is a heap array of records, ended by a null
// pointer; names and options are separate heap strings. Whoever holds the
// array frees it with url_command_free (CONNECTION_T::url_commands is freed
// after every request). Texts returned are new and freed by the caller.
// Nothing here locks; everything runs on the thread that owns the
// connection. Allocation failure is the fatal state (source "src/urlcommand").
#pragma once

struct CONNECTION_T;

struct url_command_t {
    char* name;    // command word; compared without case
    char* options; // text between "[" and "]", or NULL
};

// Reads the labels at the start of the writable text, removes them from it
// in place (the rest is shifted left) and returns the new array; NULL when
// the text (or NULL) does not begin with a complete label.
url_command_t** url_command_parse(char* text);

// The first command whose name equals name ignoring case; NULL when there is
// none or the array is NULL.
url_command_t* url_command_find(url_command_t** commands, const char* name);

// New text of one label per command in array order ("xx--name[options]." or
// "xx--name."); an empty or NULL array gives the empty text.
char* url_command_create(url_command_t** commands);

// New text: the Location value rewritten so that the connection's commands
// stand in front of its host (absolute, "/"-rooted and relative locations;
// at most 4095 characters). Used for redirects passed to the client.
char* url_command_add(CONNECTION_T* connection, const char* location);

// Takes the request's commands out of the request into
// CONNECTION_T::url_commands (replacing any left there) and handles a
// Referer carrying commands: a GET without commands of its own is answered
// with a 302 to the same URL with the Referer's commands in front of its
// host, and 0 is returned (the road stops); otherwise 1.
int url_command_extract(CONNECTION_T* connection);

// Logs every command ("command: %s, options: %s" or "command: %s") at
// LOG_URLCOMMAND; NULL logs nothing.
void url_command_log(url_command_t** commands);

// Frees every command's texts and record, then the array; NULL is ignored.
void url_command_free(url_command_t** commands);
