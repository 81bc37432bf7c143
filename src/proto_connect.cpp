#include "proto_connect.h"

// No tunnel through a parent can be opened until CONNECT tunnels are built.
int proxy_connect(CONNECTION_T*) { return -1; }
