#include "signals.h"

#include <unistd.h>

#include "cache.h"
#include "log.h"
#include "network.h"
#include "vantori.h"

char pidfile[256];

void shutdown_sequence(int status) {
    net_listen_closeall();
    if (cache_section != nullptr)
        cache_section->graceful_exit();
    if (vantori_section != nullptr)
        vantori_section->vantori_dnstofile_insert();
    if (pidfile[0] != '\0')
        unlink(pidfile);
    _exit(status);
}

void sigterm() {
    putlog(LOG_ADVICE, "Recieved Signal for Termination");
    shutdown_sequence(1);
}

void signal_setup() {}
