// Pool of idle keep-alive client connections, polled by its own service
// thread, which hands a connection whose client has sent data to a worker.
#pragma once

struct CONNECTION_T;

class ClientPool {
public:
    // Takes ownership of a newly accepted or idle connection.
    void Add(CONNECTION_T* connection);
    // Closes every idle pooled client connection.
    void Clean();
};

// Service thread polling the pooled connections.
void* clientpool_thread(void*);
