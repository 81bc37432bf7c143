#include "httpauth.h"

int ntlm_communicate(CONNECTION_T*, char*) {
    return 407;
}
