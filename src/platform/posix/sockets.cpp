// Windows Sockets over BSD sockets: the socket calls themselves are the system's own.
#include <signal.h>

#include "platform/posix/internal.h"

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  // A send to a peer that has gone must fail with an error, not end the process.
  signal(SIGPIPE, SIG_IGN);
  if (data != nullptr) {
    data->wVersion = versionRequested;
    data->wHighVersion = MAKEWORD(2, 2);
  }
  return 0;
}

int WSACleanup(void) { return 0; }

int WSAGetLastError(void) { return errno; }

int closesocket(SOCKET s) { return close(s); }
