#include "icp.h"

void* icp_thread(void*) { return nullptr; }
