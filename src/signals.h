// Signal handling and the orderly shutdown.
#pragma once

// Path of the PID file removed at shutdown (option -p).
extern char pidfile[256];

// The shutdown entry of every fatal state: logs "Recieved Signal for
// Termination", runs the shutdown sequence and leaves the process with
// status 1 (a fatal state never looks like a clean exit).
[[noreturn]] void sigterm();

// Closes the listeners, lets the cache finish, saves the site-category
// data, removes the PID file and leaves with `status` through _exit, so
// that static destructors never race the threads still running.
[[noreturn]] void shutdown_sequence(int status);

// Installs the process's signal handlers.
void signal_setup();
