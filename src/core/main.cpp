// The daemon's entry: reads the command line, checks the configuration and
// section-definition files, detaches unless told to stay in the foreground,
// and runs the main loop.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "core/config.h"
#include "core/daemon.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/threads.h"

// Overwrites every argument but the program name in place, so process
// listings no longer show paths, hosts or credentials given on the command
// line.
static void wipe_arguments(int argc, char** argv) {
    for (int i = 1; i < argc; i++)
        memset(argv[i], 0, strlen(argv[i]));
}

static bool file_exists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

int main(int argc, char** argv) {
    std::set_new_handler(out_of_memory);
    srand(static_cast<unsigned>(time(nullptr)) + static_cast<unsigned>(getpid()));

    if (argc < 2) {
        show_help(argv);
        return 0;
    }
    switch (parse_options(argc, argv)) {
    case OPTIONS_EXIT_OK: return 0;
    case OPTIONS_EXIT_USAGE: return 1;
    case OPTIONS_RUN: break;
    }

    threads_init();
    wipe_arguments(argc, argv);

    if (configfile[0] != '\0') {
        // A configuration given as a URL (a path with a colon) is fetched
        // at load time; only a file can be looked at here.
        if (strchr(configfile, ':') == nullptr && !file_exists(configfile)) {
            fprintf(stderr, "couldn't stat %s\n", configfile);
            return 1;
        }
    } else if (!slave) {
        fputs("config file option missing\n", stderr);
        return 1;
    }
    if (sectionfile[0] == '\0') {
        fputs("section file option missing\n", stderr);
        return 1;
    }
    if (!file_exists(sectionfile)) {
        fprintf(stderr, "couldn't stat %s\n", sectionfile);
        return 1;
    }

    if (daemonize == 0) {
        fix_gid();
        fix_uid();
        umask(027);
        mainloop();
    }
    make_paths_absolute();
    daemon_detach();
    umask(027);
    mainloop();
}
