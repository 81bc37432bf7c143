#include "modules.h"

void modules_load() {}
