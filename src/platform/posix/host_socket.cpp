// The test host's connection while it is quiet: keepalive and a bounded wait.
#include "platform/platform.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

bool SetTcpKeepAlive(SOCKET s, int idleSeconds, int intervalSeconds, int count) {
  const int on = 1;
  return setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 &&
         setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) == 0 &&
         setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0;
}

int WaitReceivable(SOCKET s, int timeoutMs) {
  pollfd p{s, POLLIN, 0};
  for (;;) {
    const int n = poll(&p, 1, timeoutMs);
    if (n >= 0) return n > 0 ? 1 : 0;
    if (errno != EINTR) return SOCKET_ERROR;
    // A signal (the console's stop) cut the wait short: the time left is not kept exactly,
    // the caller looks at its stop flag after any return.
  }
}
