// What the system still holds of a loopback TCP connection: lets a test wait until the
// program at the other end has read every byte sent so far, so that the next send comes
// in a receive of its own, without guessing how long that takes.
#pragma once

namespace tarnexio_test {

// True when every byte sent on fd (a connected IPv4 loopback socket) has reached the
// other end and been read there by the program. False while bytes wait on either side,
// or when the connection is not found in the system's tables.
bool PeerHasReadAll(int fd);

// Waits at most timeoutMs for PeerHasReadAll(fd).
bool WaitPeerHasReadAll(int fd, int timeoutMs = 5000);

}  // namespace tarnexio_test
