// Pool of idle upstream connections kept for reuse, keyed by protocol, host
// and port, and cleaned by age by its own service thread.
#pragma once

class ServerPool {
public:
    // Closes idle pooled connections; with `all` 1 every one of them.
    void Clean(int all);
    // Closes every pooled socket bound to the client connection with this
    // tunnel id (TUNNEL_ID_NONE: none); returns how many.
    int CloseMyTunnel(unsigned tunnel_id);
};

// Service thread: ages the pooled connections out.
void* serverpool_clean(void*);
