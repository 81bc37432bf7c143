// Configuration section: external programs.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class ExternalSection : public Section {
public:
    ExternalSection();
    void update() override {}
};

extern ExternalSection* external_section;

struct CONNECTION_T;
class Filebuf;

// Runs an external program and returns a new Filebuf (owned by the caller)
// holding everything it wrote to its standard output, or NULL when the
// pipes or the child process cannot be made. The command line is split into
// words (cmdline_parse; the first names the program, searched in PATH); the
// child's environment is only the connection's template variables (none
// without a connection). Mode 0 writes the input (when given and not empty)
// to the program's standard input; mode 1 writes it to a temporary file in
// the general section's temporary directory, passes that file's path as
// the last argument and removes it afterwards. Waits for the program to
// end; its exit code goes where exit_status points when that is not NULL.
Filebuf* external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int mode,
                       int* exit_status);
