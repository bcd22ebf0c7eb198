#include "platform/posix/capture_target.h"

#include "wire/capture_name.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnexio_posix {

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the object held by an O_PATH descriptor again, for writing: through /proc where
// the system has it, else by name, checked to be the same object.
int Reopen(int pathFd, const std::string& name, const struct stat& seen, int flags) {
  const std::string viaProc = "/proc/self/fd/" + std::to_string(pathFd);
  int fd = open(viaProc.c_str(), flags | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0)
    fd = open(name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat now;
  if (fstat(fd, &now) != 0 || !SameFile(now, seen)) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

// Gives a file of ours the capture's mode (and group), whatever the umask.
bool SetMode(int fd, const gid_t* group) {
  if (group != nullptr && fchown(fd, uid_t(-1), *group) != 0) return false;
  return fchmod(fd, group != nullptr ? 0640 : 0600) == 0;
}

CaptureTarget Failed(CaptureTarget t, int error) {
  if (t.fd >= 0) close(t.fd);
  if (t.pathFd >= 0) close(t.pathFd);
  t.fd = t.pathFd = -1;
  t.kind = CAPTURE_TARGET_FAILED;
  t.error = error;
  return t;
}

CaptureTarget Refused(CaptureTarget t, const char* why) {
  t = Failed(t, 0);
  t.kind = CAPTURE_TARGET_REFUSED;
  t.why = why;
  return t;
}

// A new file in the directory held by dirFd; its name is never one that exists.
CaptureTarget CreateInDirectory(CaptureTarget t, int dirFd, const std::string& prefix, int64_t unixMillis,
                                const gid_t* group) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string name = CaptureFileName(prefix, unixMillis, static_cast<unsigned long>(getpid()), attempt);
    const int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (t.path.empty() || t.path.back() != '/') t.path += '/';
    t.path += name;
    if (fd < 0) return Failed(t, errno);
    t.fd = fd;
    if (!SetMode(fd, group)) return Failed(t, errno);
    t.kind = CAPTURE_TARGET_FILE;
    return t;
  }
  return Failed(t, EEXIST);
}

}  // namespace

CaptureTarget OpenCaptureTarget(const std::string& name, const std::string& prefix, int64_t unixMillis,
                                const gid_t* group) {
  CaptureTarget t;
  t.path = name;
  for (int tries = 0; tries < 3; ++tries) {
    t.pathFd = open(name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (t.pathFd < 0 && errno == ENOENT) {
      // A new file: O_EXCL creates it or fails, and never follows a link planted since.
      t.fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (t.fd < 0 && errno == EEXIST) continue;
      if (t.fd < 0) return Failed(t, errno);
      if (!SetMode(t.fd, group)) return Failed(t, errno);
      t.kind = CAPTURE_TARGET_FILE;
      return t;
    }
    if (t.pathFd < 0) return Failed(t, errno);
    struct stat st;
    if (fstat(t.pathFd, &st) != 0) return Failed(t, errno);
    if (S_ISLNK(st.st_mode)) return Refused(t, "it is a symbolic link");
    if (S_ISDIR(st.st_mode)) {
      const int dirFd = Reopen(t.pathFd, name, st, O_RDONLY | O_DIRECTORY);
      if (dirFd < 0) return Failed(t, errno);
      close(t.pathFd);
      t.pathFd = -1;
      t = CreateInDirectory(t, dirFd, prefix, unixMillis, group);
      close(dirFd);
      return t;
    }
    if (st.st_uid != geteuid()) return Refused(t, "it belongs to another user");
    if (S_ISFIFO(st.st_mode)) {
      t.kind = CAPTURE_TARGET_FIFO;
      t.fd = OpenFifoWriter(t.pathFd);
      if (t.fd < 0 && errno != ENXIO) return Failed(t, errno);
      return t;
    }
    if (!S_ISREG(st.st_mode)) return Refused(t, "it is neither a regular file nor a FIFO");
    // A second name of a file is a way into a file its owner did not mean to give.
    if (st.st_nlink > 1) return Refused(t, "it has more than one name (a hard link)");
    t.fd = Reopen(t.pathFd, name, st, O_WRONLY | O_NONBLOCK);
    if (t.fd < 0) return Failed(t, errno);
    close(t.pathFd);
    t.pathFd = -1;
    if (ftruncate(t.fd, 0) != 0 || !SetMode(t.fd, group)) return Failed(t, errno);
    const int flags = fcntl(t.fd, F_GETFL);
    if (flags < 0 || fcntl(t.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return Failed(t, errno);
    t.kind = CAPTURE_TARGET_FILE;
    return t;
  }
  return Failed(t, EEXIST);
}

int OpenFifoWriter(int pathFd) {
  const std::string viaProc = "/proc/self/fd/" + std::to_string(pathFd);
  return open(viaProc.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace tarnexio_posix
