#include "network.h"

#include <unistd.h>

void net_init() {}

int net_listen(int, const char*) { return -1; }

CONNECTION_T* net_accept(int) {
    // No listener exists yet: wait for a signal instead of spinning.
    pause();
    return nullptr;
}

void net_listen_closeall() {}
