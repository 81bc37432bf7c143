#include "clientpool.h"

// Connections are not served yet; nothing is pooled.
void ClientPool::Add(CONNECTION_T*) {}

void ClientPool::Clean() {}

void* clientpool_thread(void*) { return nullptr; }
