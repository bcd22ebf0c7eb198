// The one sender to the test host.
#include "app/host_send.h"

#include "app/context.h"

#include <mutex>

static std::mutex gSendLock;
static std::atomic<HostSendHook> gHostSendHook{nullptr};

HostSendHook SetHostSendHook(HostSendHook hook) { return gHostSendHook.exchange(hook); }

// Sends all of data, repeating after a partial send; the lock keeps each packet whole
// on the wire whichever thread sends it.
static int SendWholeOnSocket(const BYTE* data, int len) {
  std::lock_guard<std::mutex> lock(gSendLock);
  SOCKET s = clientSocket.load();
  if (s == INVALID_SOCKET) return HOST_SEND_NO_SOCKET;
  int sent = 0;
  while (sent < len) {
    int n = send(s, (const char*)data + sent, len - sent, 0);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEINTR) continue;
      return sent == 0 ? HOST_SEND_FAILED : sent;
    }
    if (n == 0) return sent == 0 ? HOST_SEND_FAILED : sent;
    sent += n;
  }
  return sent;
}

int SendToTestHost(const BYTE* data, int len) {
  HostSendHook hook = gHostSendHook.load();
  const int sent = hook != nullptr ? hook(data, len) : SendWholeOnSocket(data, len);
  if (sent != len) CountDrop(&gFtmAppContext.tap.drops, DROP_NOT_SENT);
  return sent;
}
