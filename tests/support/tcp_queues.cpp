#include "tcp_queues.h"

#include "wait_until.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace tarnexio_test {

namespace {

struct QueueLine {
  unsigned localPort = 0, remotePort = 0;
  unsigned long txQueue = 0, rxQueue = 0;
};

// One line of /proc/net/tcp: "sl local rem st tx_queue:rx_queue ...", addresses and
// queues in hexadecimal.
bool ParseQueueLine(const std::string& line, QueueLine* out) {
  char local[64], remote[64];
  unsigned state;
  if (sscanf(line.c_str(), " %*d: %63s %63s %x %lx:%lx", local, remote, &state, &out->txQueue, &out->rxQueue) != 5)
    return false;
  const std::string l(local), r(remote);
  const size_t lc = l.find(':'), rc = r.find(':');
  if (lc == std::string::npos || rc == std::string::npos) return false;
  out->localPort = (unsigned)std::stoul(l.substr(lc + 1), nullptr, 16);
  out->remotePort = (unsigned)std::stoul(r.substr(rc + 1), nullptr, 16);
  return true;
}

}  // namespace

bool PeerHasReadAll(int fd) {
  sockaddr_in mine{}, theirs{};
  socklen_t mineLen = sizeof mine, theirsLen = sizeof theirs;
  if (getsockname(fd, (sockaddr*)&mine, &mineLen) != 0 || getpeername(fd, (sockaddr*)&theirs, &theirsLen) != 0)
    return false;
  const unsigned myPort = ntohs(mine.sin_port), peerPort = ntohs(theirs.sin_port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  bool sentAll = false, readAll = false;
  while (std::getline(table, line)) {
    QueueLine q;
    if (!ParseQueueLine(line, &q)) continue;
    // Ours: nothing left unacknowledged. Theirs: nothing left unread.
    if (q.localPort == myPort && q.remotePort == peerPort) sentAll = q.txQueue == 0;
    if (q.localPort == peerPort && q.remotePort == myPort) readAll = q.rxQueue == 0;
  }
  return sentAll && readAll;
}

bool WaitPeerHasReadAll(int fd, int timeoutMs) { return WaitUntil([fd] { return PeerHasReadAll(fd); }, timeoutMs); }

}  // namespace tarnexio_test
