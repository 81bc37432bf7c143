#include "extensions.h"

int Hooks::Execute(int, void*, void*) { return 0; }
