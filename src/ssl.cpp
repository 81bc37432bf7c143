#include "ssl.h"

void SSL_thread_setup() {}
