// Loading and saving the configuration document as a file or an HTTP URL.
#pragma once

// Loads the configuration (mode 3 at start-up); returns 1 on success.
int config_load(int mode, const char* path);
