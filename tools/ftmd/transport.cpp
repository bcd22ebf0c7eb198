#include "transport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ftmd {

namespace {

// Linux's Bluetooth socket ABI (no Bluetooth headers are needed to build ftmd).
constexpr int kAfBluetooth = 31;
constexpr int kBtProtoHci = 1;
constexpr uint16_t kHciChannelUser = 1;
struct SockaddrHci {
  uint16_t family;
  uint16_t dev;
  uint16_t channel;
};

constexpr int kConnectTimeoutMs = 3000;

bool parseNumber(const std::string& s, unsigned long max, unsigned long& out) {
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoul(s);
  return out <= max;
}

std::string errnoText(int err) { return std::strerror(err); }

TransportFd fail(const std::string& text) {
  TransportFd t;
  t.error = text;
  return t;
}

// A connect that gives up after kConnectTimeoutMs, so that a reopen never stalls the loop long.
bool connectBounded(int fd, const sockaddr* addr, socklen_t len, int& err) {
  if (connect(fd, addr, len) == 0) return true;
  if (errno != EINPROGRESS && errno != EAGAIN) {
    err = errno;
    return false;
  }
  pollfd p{fd, POLLOUT, 0};
  int r;
  do r = poll(&p, 1, kConnectTimeoutMs);
  while (r < 0 && errno == EINTR);
  if (r == 0) {
    err = ETIMEDOUT;
    return false;
  }
  socklen_t l = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0) err = errno;
  return err == 0;
}

// The server of a Unix socket may speak for the controller only when it runs as root, as
// ftmd's own user or as the user --controller-user names: anyone else could have taken the
// path first.
bool trustedServer(int fd, long trustedUid, std::string& why) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    why = "the credentials of its server are unknown";
    return false;
  }
  if (peer.uid == 0 || peer.uid == geteuid() || long(peer.uid) == trustedUid) return true;
  why = "its server runs as uid " + std::to_string(peer.uid) +
        ", neither ftmd's user nor root (--controller-user names a user to trust)";
  return false;
}

TransportFd openUnix(const std::string& path, long trustedUid) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return fail("unix:" + path + ": the path is too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  TransportFd t;
  t.fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int err = 0;
  if (!t.fd.valid() || !connectBounded(t.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr, err)) {
    if (!t.fd.valid()) err = errno;
    const char* hint = err == ENOENT ? " (no such socket)" : err == ECONNREFUSED ? " (nobody serves it)" : "";
    return fail("unix:" + path + ": cannot connect: " + errnoText(err) + hint);
  }
  std::string why;
  if (!trustedServer(t.fd.get(), trustedUid, why)) {
    return fail("unix:" + path + ": not using it: " + why);
  }
  return t;
}

TransportFd openTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string where = "tcp-client:" + host + ":" + std::to_string(port);
  const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (gai != 0) return fail(where + ": cannot resolve " + host + ": " + gai_strerror(gai));
  int err = 0;
  TransportFd t;
  for (addrinfo* a = list; a && !t.fd.valid(); a = a->ai_next) {
    t.fd.reset(socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!t.fd.valid()) {
      err = errno;
      continue;
    }
    if (!connectBounded(t.fd.get(), a->ai_addr, a->ai_addrlen, err)) t.fd.reset();
  }
  freeaddrinfo(list);
  if (!t.fd.valid()) return fail(where + ": cannot connect: " + errnoText(err));
  int one = 1;  // each packet goes out as it is written
  setsockopt(t.fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return t;
}

TransportFd openSerial(const Transport& s) {
  const std::string where = "serial:" + s.path;
  TransportFd t;
  t.fd.reset(open(s.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!t.fd.valid()) {
    const int err = errno;
    if (err == ENOENT || err == ENODEV || err == ENXIO) return fail(where + ": no such device");
    if (err == EACCES || err == EPERM)
      return fail(where + ": permission denied (the user needs read and write access, often the 'dialout' group)");
    if (err == EBUSY) return fail(where + ": device busy: another program has it open exclusively");
    return fail(where + ": cannot open: " + errnoText(err));
  }
  struct stat st;
  if (fstat(t.fd.get(), &st) != 0 || !S_ISCHR(st.st_mode)) {
    return fail(where + ": not a character device");
  }
  // Two locks: TIOCEXCL keeps other openers out (except privileged ones), the lock file
  // lock keeps out a second ftmd even when it runs as root.
  if (flock(t.fd.get(), LOCK_EX | LOCK_NB) != 0 || ioctl(t.fd.get(), TIOCEXCL) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK || err == EBUSY) return fail(where + ": device busy: another program holds it");
    if (err == ENOTTY) return fail(where + ": not a serial line");
    return fail(where + ": cannot take it exclusively: " + errnoText(err));
  }
  std::string error;
  if (!configureSerial(t.fd.get(), s.baud, s.rtscts, error)) {
    return fail(where + ": " + error);
  }
  return t;
}

}  // namespace

std::string parseTransport(const std::string& text, Transport& out) {
  Transport s;
  s.text = text;
  auto after = [&](const char* prefix) -> const char* {
    const size_t n = std::strlen(prefix);
    return text.compare(0, n, prefix) == 0 ? text.c_str() + n : nullptr;
  };
  unsigned long n = 0;
  if (const char* rest = after("serial:")) {
    s.kind = Transport::Serial;
    std::string r = rest;
    const size_t comma = r.find(',');
    s.path = r.substr(0, comma);
    if (s.path.empty()) return "serial: needs a device, as serial:DEVICE[,BAUD][,rtscts]";
    for (size_t pos = comma; pos != std::string::npos;) {
      const size_t next = r.find(',', pos + 1);
      const std::string field = r.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
      if (field == "rtscts") {
        s.rtscts = true;
      } else if (parseNumber(field, 0xFFFFFFFFul, n) && n > 0) {
        s.baud = unsigned(n);
      } else {
        return "serial: takes a baud rate above 0 and 'rtscts' after the device, not '" + field + "'";
      }
      pos = next;
    }
  } else if (const char* r2 = after("tcp-client:")) {
    s.kind = Transport::TcpClient;
    const std::string r = r2;
    const size_t colon = r.rfind(':');
    if (colon == std::string::npos || colon == 0 || !parseNumber(r.substr(colon + 1), 65535, n) || n == 0)
      return "tcp-client: takes HOST:PORT";
    s.host = r.substr(0, colon);
    if (s.host.size() > 2 && s.host.front() == '[' && s.host.back() == ']') s.host = s.host.substr(1, s.host.size() - 2);
    s.port = int(n);
  } else if (const char* r3 = after("unix:")) {
    s.kind = Transport::Unix;
    s.path = r3;
    if (s.path.empty()) return "unix: takes the path of a socket";
  } else if (const char* r4 = after("hci-socket:")) {
    s.kind = Transport::HciSocket;
    if (!parseNumber(r4, 0xFFFE, n)) return "hci-socket: takes a device number, as hci-socket:0 for hci0";
    s.hciIndex = int(n);
  } else {
    return "--controller takes sim, serial:DEVICE[,BAUD][,rtscts], tcp-client:HOST:PORT, unix:PATH or hci-socket:N";
  }
  out = s;
  return "";
}

TransportFd openTransport(const Transport& transport) {
  switch (transport.kind) {
    case Transport::Serial: return openSerial(transport);
    case Transport::TcpClient: return openTcp(transport.host, transport.port);
    case Transport::Unix: return openUnix(transport.path, transport.trustedUid);
    case Transport::HciSocket: return openHciSocket(transport.hciIndex);
  }
  return fail("unknown transport");
}

const HciSocketCalls kSystemHciCalls = {::socket, ::bind};

std::string hciSocketError(bool bindStep, int err, int index) {
  const std::string dev = "hci" + std::to_string(index);
  const std::string where = "hci-socket:" + std::to_string(index) + ": ";
  if (!bindStep) {
    if (err == EAFNOSUPPORT || err == EPROTONOSUPPORT)
      return where + "this kernel has no Bluetooth sockets (the bluetooth module is not loaded or not built)";
    if (err == EPERM || err == EACCES) return where + "permission denied: opening a Bluetooth socket needs CAP_NET_RAW";
    return where + "cannot create a Bluetooth socket: " + errnoText(err);
  }
  switch (err) {
    case ENODEV: return where + "no such device " + dev;
    case EPERM:
    case EACCES: return where + "permission denied: the HCI user channel needs CAP_NET_ADMIN (run as root)";
    case EBUSY:
      return where + dev + " is up or still being set up; bring it down first with 'hciconfig " + dev +
             " down' or 'btmgmt --index " + std::to_string(index) + " power off'";
    case EUSERS: return where + "device busy: another program holds the user channel of " + dev;
    case EALREADY: return where + "device busy: " + dev + " is held by another socket";
    default: return where + "cannot bind to the user channel of " + dev + ": " + errnoText(err);
  }
}

TransportFd openHciSocket(int index, const HciSocketCalls& calls) {
  TransportFd t;
  t.packets = true;
  t.fd.reset(calls.socket(kAfBluetooth, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, kBtProtoHci));
  if (!t.fd.valid()) return fail(hciSocketError(false, errno, index));
  SockaddrHci addr{uint16_t(kAfBluetooth), uint16_t(index), kHciChannelUser};
  if (calls.bind(t.fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    return fail(hciSocketError(true, err, index));
  }
  return t;
}

}  // namespace ftmd
