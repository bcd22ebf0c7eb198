#include "listen_sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "wire/device_dir.h"

namespace ftmd {

namespace {
std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The parents are made as `mkdir -p` would; the directory itself is made for ftmd's user
// (and the group) alone, and an existing one must pass the shared rule.
bool makeDeviceDir(const std::string& dir, const gid_t* group, std::string& error) {
  for (size_t pos = 1; pos < dir.size(); ++pos) {
    if (dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = sysError("cannot create " + part);
      return false;
    }
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = sysError("cannot create " + dir);
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    error = sysError("cannot examine " + dir);
    return false;
  }
  const std::string problem = DeviceDirectoryProblem(st.st_mode, st.st_uid, geteuid());
  if (!problem.empty()) {
    error = "refusing the device directory " + dir + ": it " + problem;
    return false;
  }
  if (group != nullptr && st.st_uid == geteuid() &&
      (chown(dir.c_str(), uid_t(-1), *group) != 0 || chmod(dir.c_str(), 0750) != 0)) {
    error = sysError("cannot open " + dir + " to its group");
    return false;
  }
  return true;
}

// Binds with a umask that leaves exactly the socket's mode, then sets the mode again in
// case a default ACL of the directory had its say.
bool bindDevice(int fd, const sockaddr_un& addr, const std::string& path, const gid_t* group, std::string& error) {
  const mode_t mode = group != nullptr ? 0660 : 0600;
  const mode_t previous = umask(0777 & ~mode);
  const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  umask(previous);
  errno = err;
  if (rc != 0) {
    error = sysError("cannot listen on " + path);
    return false;
  }
  if (chmod(path.c_str(), mode) != 0 || (group != nullptr && chown(path.c_str(), uid_t(-1), *group) != 0)) {
    error = sysError("cannot set the mode of " + path);
    unlink(path.c_str());
    return false;
  }
  return true;
}
}  // namespace

bool listenDevice(const std::string& dir, const std::string& name, const gid_t* group, DeviceSocket& out,
                  std::string& error) {
  out = DeviceSocket{};
  out.path = dir + "/" + name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (out.path.size() >= sizeof addr.sun_path) {
    error = "socket path too long: " + out.path;
    return false;
  }
  std::memcpy(addr.sun_path, out.path.c_str(), out.path.size() + 1);
  if (!makeDeviceDir(dir, group, error)) return false;

  struct stat st;
  if (lstat(out.path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = out.path + " exists and is not a socket; not touching it";
      return false;
    }
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0) {
      error = sysError("socket");
      return false;
    }
    const int rc = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    close(probe);
    if (rc == 0) {
      error = "another ftmd already serves " + name + " on " + out.path + "; not starting a second one";
      return false;
    }
    if (err != ECONNREFUSED) {
      errno = err;
      error = sysError("cannot probe " + out.path);
      return false;
    }
    if (unlink(out.path.c_str()) != 0) {
      error = sysError("cannot remove the stale socket " + out.path);
      return false;
    }
    out.replacedStale = true;
  }

  out.fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (out.fd < 0) {
    error = sysError("socket");
    return false;
  }
  if (!bindDevice(out.fd, addr, out.path, group, error)) {
    close(out.fd);
    out.fd = -1;
    return false;
  }
  if (listen(out.fd, 16) != 0) {
    error = sysError("cannot listen on " + out.path);
    unlink(out.path.c_str());
    close(out.fd);
    out.fd = -1;
    return false;
  }
  if (stat(out.path.c_str(), &st) == 0) {
    out.dev = st.st_dev;
    out.ino = st.st_ino;
  }
  return true;
}

void closeDevice(DeviceSocket& s) {
  if (s.fd < 0) return;
  struct stat st;
  if (stat(s.path.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino) unlink(s.path.c_str());
  close(s.fd);
  s.fd = -1;
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
