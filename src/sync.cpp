#include "sync.h"

void config_sync(void*) {}
