// The test host's connection while it is quiet: keepalive and a bounded wait.
#include "platform/platform.h"

#include <mstcpip.h>

bool SetTcpKeepAlive(SOCKET s, int idleSeconds, int intervalSeconds, int) {
  // The count of probes is the system's own (10 since Windows Vista).
  tcp_keepalive values = {};
  values.onoff = 1;
  values.keepalivetime = ULONG(idleSeconds) * 1000;
  values.keepaliveinterval = ULONG(intervalSeconds) * 1000;
  DWORD returned = 0;
  return WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) == 0;
}

int WaitReceivable(SOCKET s, int timeoutMs) {
  WSAPOLLFD p = {};
  p.fd = s;
  p.events = POLLRDNORM;
  const int n = WSAPoll(&p, 1, timeoutMs);
  if (n == SOCKET_ERROR) return SOCKET_ERROR;
  return n > 0 ? 1 : 0;
}
