// The connection to a device socket, the check of the server behind it, and whole
// datagrams in and out.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/device_object.h"

namespace tarnexio_posix {

ssize_t ReceiveOne(int fd, std::vector<uint8_t>& buffer, size_t room, int flags) {
  if (buffer.size() < room) buffer.resize(room);
  const ssize_t n = recv(fd, buffer.data(), buffer.size(), flags | MSG_TRUNC);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kReceiveAgain : kReceiveEnd;
  if (n == 0) {
    // Either the end of the connection (which the socket shows as a hang-up from then
    // on) or an empty datagram, possibly with nothing behind it yet.
    struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) return kReceiveEnd;
  }
  // Room is the largest reply any request may get, so nothing is cut here.
  return size_t(n) > buffer.size() ? ssize_t(buffer.size()) : n;
}

bool SendWhole(int fd, const std::vector<uint8_t>& datagram) {
  for (;;) {
    ssize_t n = send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
    if (n >= 0) return size_t(n) == datagram.size();
    if (errno != EINTR) return false;
  }
}

// Only a driver that runs as root or as this user may answer on the device socket; the
// kernel names the process that listens on it.
bool DevicePeerTrusted(int fd, const std::string& path) {
  struct ucred peer;
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    WriteHintLine("not using " + path + ": the credentials of its server are unknown");
    return false;
  }
  if (peer.uid == 0 || peer.uid == geteuid()) return true;
  WriteHintLine("not using " + path + ": its server runs as uid " + std::to_string(peer.uid) +
                ", neither this user nor root");
  return false;
}

// A connection to the device socket at path whose server may be trusted, or -1.
int ConnectDevice(const std::string& path, const std::string& via) {
  const std::string& target = via.empty() ? path : via;
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (target.empty() || target.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, target.c_str(), target.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  if (!DevicePeerTrusted(fd, path)) {
    close(fd);
    errno = 0;  // the refusal has reported itself
    return -1;
  }
  return fd;
}

}  // namespace tarnexio_posix
