#include "listen_sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/trusted_dir.h"

namespace ftmd {

namespace {
std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The parents are made as `mkdir -p` would; the directory itself is made for ftmd's user
// (and the group) alone. It and every directory on its way must pass the shared rules,
// and from here on it is reached only through its descriptor.
int openDeviceDir(const std::string& dir, const gid_t* group, std::string& error) {
  const tarnexio_posix::TrustedDirectory opened =
      tarnexio_posix::OpenTrustedDirectory(dir, tarnexio_posix::MakeMissing::kAll, geteuid());
  if (!opened.problem.empty()) {
    error = "refusing the device directory " + dir + ": " + opened.problem;
    return -1;
  }
  if (opened.fd < 0) {
    errno = opened.error;
    error = sysError("cannot open " + opened.failed);
    return -1;
  }
  struct stat st;
  if (group != nullptr && fstat(opened.fd, &st) == 0 && st.st_uid == geteuid() &&
      (fchown(opened.fd, uid_t(-1), *group) != 0 || fchmod(opened.fd, 0750) != 0)) {
    error = sysError("cannot open " + dir + " to its group");
    close(opened.fd);
    return -1;
  }
  return opened.fd;
}

// Binds with a umask that leaves exactly the socket's mode, then sets the mode again in
// case a default ACL of the directory had its say; the socket file is named through the
// directory's descriptor and never followed if it is a link.
bool bindDevice(int fd, int dirFd, const sockaddr_un& addr, const DeviceSocket& s, const gid_t* group,
                std::string& error) {
  const mode_t mode = group != nullptr ? 0660 : 0600;
  const mode_t previous = umask(0777 & ~mode);
  const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  umask(previous);
  errno = err;
  if (rc != 0) {
    error = sysError("cannot listen on " + s.path);
    return false;
  }
  if (fchmodat(dirFd, s.name.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0 ||
      (group != nullptr && fchownat(dirFd, s.name.c_str(), uid_t(-1), *group, AT_SYMLINK_NOFOLLOW) != 0)) {
    error = sysError("cannot set the mode of " + s.path);
    unlinkat(dirFd, s.name.c_str(), 0);
    return false;
  }
  return true;
}

void closeQuietly(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// The steps of listenDevice once the directory is open.
bool replaceStale(DeviceSocket& out, const sockaddr_un& addr, std::string& error);
bool listenOn(DeviceSocket& out, const sockaddr_un& addr, const gid_t* group, std::string& error);
}  // namespace

bool listenDevice(const std::string& dir, const std::string& name, const gid_t* group, DeviceSocket& out,
                  std::string& error) {
  out = DeviceSocket{};
  out.path = dir + "/" + name;
  out.name = name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (out.path.size() >= sizeof addr.sun_path) {
    error = "socket path too long: " + out.path;
    return false;
  }
  out.dirFd = openDeviceDir(dir, group, error);
  if (out.dirFd < 0) return false;
  const std::string via = tarnexio_posix::PathThroughDescriptor(out.dirFd, name);
  if (via.size() >= sizeof addr.sun_path) {
    error = "socket path too long: " + via;
    closeQuietly(out.dirFd);
    return false;
  }
  std::memcpy(addr.sun_path, via.c_str(), via.size() + 1);
  if (!replaceStale(out, addr, error) || !listenOn(out, addr, group, error)) {
    closeQuietly(out.fd);
    closeQuietly(out.dirFd);
    return false;
  }
  return true;
}

namespace {
bool replaceStale(DeviceSocket& out, const sockaddr_un& addr, std::string& error) {
  struct stat st;
  if (fstatat(out.dirFd, out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  if (!S_ISSOCK(st.st_mode)) {
    error = out.path + " exists and is not a socket; not touching it";
    return false;
  }
  int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    error = sysError("socket");
    return false;
  }
  const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  close(probe);
  if (rc == 0) {
    error = "another ftmd already serves " + out.name + " on " + out.path + "; not starting a second one";
    return false;
  }
  if (err != ECONNREFUSED) {
    errno = err;
    error = sysError("cannot probe " + out.path);
    return false;
  }
  if (unlinkat(out.dirFd, out.name.c_str(), 0) != 0) {
    error = sysError("cannot remove the stale socket " + out.path);
    return false;
  }
  out.replacedStale = true;
  return true;
}

bool listenOn(DeviceSocket& out, const sockaddr_un& addr, const gid_t* group, std::string& error) {
  out.fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (out.fd < 0) {
    error = sysError("socket");
    return false;
  }
  if (!bindDevice(out.fd, out.dirFd, addr, out, group, error)) return false;
  if (listen(out.fd, 16) != 0) {
    error = sysError("cannot listen on " + out.path);
    unlinkat(out.dirFd, out.name.c_str(), 0);
    return false;
  }
  struct stat st;
  if (fstatat(out.dirFd, out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    out.dev = st.st_dev;
    out.ino = st.st_ino;
  }
  return true;
}

}  // namespace

void closeDevice(DeviceSocket& s) {
  if (s.fd < 0) return;
  struct stat st;
  if (fstatat(s.dirFd, s.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == s.dev && st.st_ino == s.ino) {
    unlinkat(s.dirFd, s.name.c_str(), 0);
  }
  closeQuietly(s.fd);
  closeQuietly(s.dirFd);
}

int listenLoopback(int port, int& boundPort, std::string& error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = sysError("socket");
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  socklen_t len = sizeof a;
  // A deep queue: each accept reads the kernel's TCP table to name the peer.
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    error = sysError("cannot listen on 127.0.0.1:" + std::to_string(port));
    close(fd);
    return -1;
  }
  boundPort = ntohs(a.sin_port);
  return fd;
}

}  // namespace ftmd
