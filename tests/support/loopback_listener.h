// A listening TCP socket on 127.0.0.1 for a peer played by a test: the system picks its
// port while it binds, so no other process can take the port between choice and use.
#pragma once

namespace tarnexio_test {

// A socket listening on 127.0.0.1 on a port of the system's choice, close-on-exec, with
// *port set; -1 (and *port 0) when it cannot be had.
int ListenOnLoopback(int* port, int backlog = 1);

}  // namespace tarnexio_test
