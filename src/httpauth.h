// The NTLM and Negotiate relay: the client's tokens are handed, one request
// after another, to the separate authentication service, and its
// challenges back to the client, until the service accepts or refuses.
#pragma once

struct CONNECTION_T;

// Runs the whole dialogue for the connection's current request: 200 when
// the service accepted the user (CONNECTION_T::auth_host_state is then
// AUTH_HOST_AUTHENTICATED and CONNECTION_T::auth_host_user names the
// user), 407 when it did not. `scratch` is not used.
//
// Until the relay is built no service is asked and nobody is accepted: 407.
int ntlm_communicate(CONNECTION_T* connection, char* scratch);
