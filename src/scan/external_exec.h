// The starter of every program the daemon runs on behalf of a request: the
// external-program section's programs and the template pages whose content
// is a program's output.
//
// Contract:
// - The command line is split into words (cmdline_parse); the first names
//   the program, searched in PATH. The program's environment is only the
//   connection's template variables (none without a connection).
// - Mode 0 writes the input (when given and not empty) to the program's
//   standard input; mode 1 writes it to a temporary file in the general
//   section's temporary directory, passes that file's path as the last
//   argument, gives the program an empty standard input and removes the
//   file afterwards.
// - The program starts with its standard input and output on our pipes,
//   standard error as the daemon has it, no other descriptor of the daemon,
//   an empty signal mask and every signal at its default action, in a
//   process group of its own.
// - A run is bounded: after the connection's I/O time-out (the general
//   section's, 60 seconds without a connection) or once its output passes
//   the download buffer limit, the program's whole process group is killed.
//   A killed program's output is dropped (the result is empty).
// - The exit status is the program's exit code when it ended by itself;
//   128 + the signal number when a signal ended it (so a killed program
//   never counts as a success).
// - No lock is taken while the program runs; the caller must hold none
//   either (a program may take as long as its time limit).
#pragma once

struct CONNECTION_T;
class Filebuf;

// Seconds a program may run when there is no connection to take the I/O
// time-out from.
constexpr int EXTERNAL_DEFAULT_TIME_LIMIT = 60;

// Runs the command; returns a new Filebuf (owned by the caller) with what it
// wrote to its standard output, or NULL when the pipes, the temporary file
// or the child process cannot be made. The exit status goes where
// exit_status points when that is not NULL.
Filebuf* external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int mode,
                       int* exit_status);
