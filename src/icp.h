// ICP server and client.
#pragma once

// Service thread answering ICP queries on the configured UDP port.
void* icp_thread(void*);
