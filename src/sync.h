// Synchronisation of the configuration from a master instance.
#pragma once

// Timer job and start-up step: copies the master's configuration when this
// instance is a slave; does nothing otherwise.
void config_sync(void*);
