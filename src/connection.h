// CONNECTION_T: one client connection and its current request.
#pragma once

struct CONNECTION_T {
    unsigned client_id;
};
