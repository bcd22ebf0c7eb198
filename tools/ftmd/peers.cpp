#include "peers.h"

#include "fd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/time.h>
#include <sstream>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ftmd {

bool PeerPolicy::allows(uid_t uid, const std::vector<gid_t>& gids) const {
  if (uid == 0 || uid == self) return true;
  if (!hasGroup) return false;
  for (gid_t g : gids)
    if (g == group) return true;
  return false;
}

std::string PeerPolicy::describe() const {
  const std::string me = "uid " + std::to_string(self);
  if (self == 0) return hasGroup ? "root and group " + groupName : "root";
  return hasGroup ? me + ", root and group " + groupName : me + " and root";
}

namespace {
constexpr const char* kMappedPrefix = "0000000000000000FFFF0000";  // ::ffff:a.b.c.d

bool parseHex(const std::string& s, unsigned long& out) {
  if (s.empty() || s.size() > 8) return false;
  char* end = nullptr;
  out = std::strtoul(s.c_str(), &end, 16);
  return *end == '\0';
}

// "0100007F:1F90" (or its 32-digit IPv6 form) -> address and port.
bool parseEnd(const std::string& text, TcpEnd& out) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string addr = text.substr(0, colon);
  if (addr.size() == 32) {
    if (addr.compare(0, 24, kMappedPrefix) != 0) return false;
    addr = addr.substr(24);
  }
  unsigned long a = 0, p = 0;
  if (addr.size() != 8 || !parseHex(addr, a) || !parseHex(text.substr(colon + 1), p) || p > 0xFFFF) return false;
  out.addr = uint32_t(a);
  out.port = uint16_t(p);
  return true;
}
}  // namespace

bool tcpTableOwner(const std::string& table, TcpEnd local, TcpEnd remote, uid_t& uid) {
  std::istringstream lines(table);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::string slot, l, r, state, queues, timer, retransmits, owner;
    if (!(f >> slot >> l >> r >> state >> queues >> timer >> retransmits >> owner)) continue;
    TcpEnd le, re;
    // Only an established socket: one in TIME_WAIT has given up its owner and shows 0.
    if (state != "01" || !parseEnd(l, le) || !parseEnd(r, re)) continue;
    if (le.addr != local.addr || le.port != local.port || re.addr != remote.addr || re.port != remote.port) continue;
    char* end = nullptr;
    const unsigned long u = std::strtoul(owner.c_str(), &end, 10);
    if (owner.empty() || *end != '\0') return false;
    uid = uid_t(u);
    return true;
  }
  return false;
}

pid_t unixPeerPid(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : 0;
}

bool unixPeer(int fd, uid_t& uid, std::vector<gid_t>& gids) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  uid = cred.uid;
  gids.assign(1, cred.gid);
#ifdef SO_PEERGROUPS
  std::vector<gid_t> more(64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    len = socklen_t(more.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, more.data(), &len) == 0) {
      gids.insert(gids.end(), more.begin(), more.begin() + long(len / sizeof(gid_t)));
      break;
    }
    if (errno != ERANGE) break;
    more.resize(len / sizeof(gid_t) + 1);
  }
#endif
  return true;
}

int socketDiagOwner(const TcpEnd& local, const TcpEnd& remote, uid_t& uid) {
  const Fd nl(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!nl.valid()) return -1;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } q{};
  q.header.nlmsg_len = sizeof q;
  q.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  q.header.nlmsg_flags = NLM_F_REQUEST;
  q.request.sdiag_family = AF_INET;
  q.request.sdiag_protocol = IPPROTO_TCP;
  q.request.idiag_states = ~0u;
  q.request.id.idiag_sport = htons(local.port);
  q.request.id.idiag_dport = htons(remote.port);
  q.request.id.idiag_src[0] = local.addr;
  q.request.id.idiag_dst[0] = remote.addr;
  q.request.id.idiag_cookie[0] = q.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  int found = -1;
  alignas(nlmsghdr) uint8_t answer[8192];
  // The kernel answers at once; a socket that never answers is not waited on for long.
  timeval limit{0, 200000};
  setsockopt(nl.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (sendto(nl.get(), &q, sizeof q, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == ssize_t(sizeof q)) {
    const ssize_t n = recv(nl.get(), answer, sizeof answer, 0);
    const auto* h = reinterpret_cast<const nlmsghdr*>(answer);
    if (n >= ssize_t(sizeof(nlmsghdr)) && NLMSG_OK(h, size_t(n))) {
      if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        uid = uid_t(m->idiag_uid);
        // A socket in TIME_WAIT has given up its owner and shows 0.
        found = m->idiag_state == TCP_ESTABLISHED ? 1 : 0;
      } else if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
        const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        found = error == ENOENT ? 0 : -1;
      }
    }
  }
  return found;
}

bool loopbackPeer(int fd, uid_t& uid) {
  sockaddr_in ours{}, theirs{};
  socklen_t a = sizeof ours, b = sizeof theirs;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &a) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &b) != 0 || ours.sin_family != AF_INET ||
      theirs.sin_family != AF_INET)
    return false;
  // The peer's socket: its local end is our remote one, and the other way round.
  TcpEnd local, remote;
  std::memcpy(&local.addr, &theirs.sin_addr, 4);
  local.port = ntohs(theirs.sin_port);
  std::memcpy(&remote.addr, &ours.sin_addr, 4);
  remote.port = ntohs(ours.sin_port);
  const int found = socketDiagOwner(local, remote, uid);
  if (found >= 0) return found == 1;
  // Without socket diagnostics, the whole of the kernel's tables is read instead.
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    if (tcpTableOwner(text.str(), local, remote, uid)) return true;
  }
  return false;
}

bool randomBytes(uint8_t* out, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = getrandom(out + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  if (got == size) return true;
  const Fd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  for (got = 0; got < size;) {
    const ssize_t n = read(fd.get(), out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  return got == size;
}

}  // namespace ftmd
