// The one sender to the test host.
#include "core/host_send.h"

const HostSendSeam* SetHostSendSeam(HostSender* host, const HostSendSeam* seam) { return host->seam.exchange(seam); }

// Sends all of data, repeating after a partial send; the caller holds the send lock,
// which keeps each packet whole on the wire whichever thread sends it.
static int SendWholeOnSocket(HostSender* host, const BYTE* data, int len) {
  SOCKET s = host->clientSocket.load();
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

int SendToTestHost(HostSender* host, const BYTE* data, int len, const HostSendNote* note) {
  const HostSendSeam* seam = host->seam.load();
  int sent;
  {
    MutexLock lock(&host->sendLock);
    if (note != nullptr) note->note(note->context);
    sent = seam != nullptr ? seam->send(seam->context, data, len) : SendWholeOnSocket(host, data, len);
  }
  if (sent != len) CountDrop(DropsOf(host), DROP_NOT_SENT);
  return sent;
}
