#include "serverpool.h"

// Nothing is pooled yet.
void ServerPool::Clean(int) {}

void* serverpool_clean(void*) { return nullptr; }
