// Who is on the other end of a connection, and whether ftmd serves them.
//
// A Unix-domain peer is named by the kernel's peer credentials. TCP carries no
// credentials, but on loopback both ends live in this kernel: the client's socket is the
// one whose local end is our peer's address and whose remote end is ours, and the kernel
// names the uid that owns it. It is asked through its socket diagnostics (one lookup by
// the socket's ends); only where those are missing is its whole TCP table read
// (/proc/net/tcp, /proc/net/tcp6).
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ftmd {

// Whom ftmd serves: its own user, root and, with --group, the members of one group.
struct PeerPolicy {
  uid_t self = 0;
  bool hasGroup = false;
  gid_t group = 0;
  std::string groupName;

  bool allows(uid_t uid, const std::vector<gid_t>& gids) const;
  std::string describe() const;  // "uid 1000 and root" or "uid 1000, root and group lab"
};

// One end of a TCP connection as the kernel's table prints it: the IPv4 address as its
// in-memory 32-bit value, the port in host order.
struct TcpEnd {
  uint32_t addr = 0;
  uint16_t port = 0;
};

// Looks through a TCP table's text for the established socket whose local end is `local`
// and remote end `remote` (IPv4 rows, or IPv4-mapped rows of the IPv6 table) and returns
// its uid. False when no such row is there.
bool tcpTableOwner(const std::string& table, TcpEnd local, TcpEnd remote, uid_t& uid);

// Asks the kernel's socket diagnostics for the one established TCP socket whose local end
// is `local` and remote end `remote` (addresses as in-memory values, ports in host
// order): a single lookup, however many sockets the machine has. 1 with `uid` when found,
// 0 when there is no such socket, -1 when the kernel does not answer such questions.
int socketDiagOwner(const TcpEnd& local, const TcpEnd& remote, uid_t& uid);

// The uid (and groups, where the kernel gives them) of the process on the other end of a
// connected socket. False when the kernel cannot say.
bool unixPeer(int fd, uid_t& uid, std::vector<gid_t>& gids);
bool loopbackPeer(int fd, uid_t& uid);
// The process on the other end of a connected Unix-domain socket, as it was at connect;
// 0 when the kernel cannot say.
pid_t unixPeerPid(int fd);

// Fills `out` from the system's random source (getrandom, else /dev/urandom). False when
// neither gives it.
bool randomBytes(uint8_t* out, size_t size);

}  // namespace ftmd
