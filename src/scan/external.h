// Configuration section "external": administrators' programs run on the
// request road. For a request, a response or an authentication step the
// matching programs get the header texts and the buffered body on their
// standard input (or in a temporary file) and answer with a header block
// and a body: a replacement request or response header, a replacement body,
// and the lines "X-username" (the connection's user) and "X-profiles"
// (profile names added to the connection).
//
// Contract:
// - Entries run in configuration order; each runs when it is enabled, its
//   group and profile lists match (profile_find) as the connection stands
//   when its turn comes, its stage bits meet the stage's and its command is
//   not empty. An authentication program runs only in the authentication
//   stage and only while the connection has not had a failed one; the
//   stage ends after the first authentication program that ran.
// - A program's header and body are applied only when it exits with 0. Its
//   X-username and X-profiles lines are applied whatever its exit code,
//   except for an authentication program, whose lines count only when it
//   succeeded; a failed authentication program marks the connection
//   (CONN_AUTH_EXTERNAL_FAILED, kept for the whole connection).
// - A program that was killed (time limit, output limit, signal) counts as
//   failed and gives no output (external_exec.h).
// - A request body that streams upstream (CONN_BODY_STREAMED) is not in
//   memory: programs see none and cannot replace it.
// - Locks: the section's read lock is held only to take the entry list (a
//   shared, immutable snapshot that update() replaces); programs run
//   without any lock. update() runs under the write lock held by the
//   configuration framework.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/config_lists.h"
#include "config/section.h"

struct CONNECTION_T;
class Filebuf;

// Stage bits (External::mode, and the stage argument of process).
enum {
    EXTERNAL_MODE_REQUEST = 0x1,
    EXTERNAL_MODE_RESPONSE = 0x2,
    EXTERNAL_MODE_AUTH = 0x4,
};

// Header texts put before the body (External::headers).
enum {
    EXTERNAL_HEADERS_REQUEST = 0x1,
    EXTERNAL_HEADERS_RESPONSE = 0x2,
};

// One program entry, built from an entry by field position.
class External {
public:
    explicit External(const Item& item);

    int enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string command;
    int tempfile;
    int mode;
    int auth_program;
    int headers;
};

class ExternalSection : public Section {
public:
    ExternalSection();

    // Rebuilds the program list from the entries of the first subsection.
    void update() override;

    // 1 when the section is on, the connection does not bypass it and an
    // entry would run for the stage (the authentication-program test aside).
    int check_match(CONNECTION_T* connection, int mode) const;

    // Runs the stage's programs (see the contract) on the body buffer.
    void process(CONNECTION_T* connection, Filebuf* body, int mode) const;

    int* enabled; // global field 0
    std::shared_ptr<const std::vector<External>> programs;
};

extern ExternalSection* external_section;

// The section's processors.
int external_reqmod(CONNECTION_T* connection, Filebuf* body);
int external_respmod(CONNECTION_T* connection, Filebuf* body);
int external_auth(CONNECTION_T* connection, Filebuf* body);
int external_buffcheck(CONNECTION_T* connection, Filebuf* body);
