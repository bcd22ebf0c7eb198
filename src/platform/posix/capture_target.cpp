#include "platform/posix/capture_target.h"

#include "wire/capture_name.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <vector>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <thread>
#include <chrono>
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

// Access by others to an object of ours that a capture would go into: any for a file
// or FIFO without group, and with group anything but that group's reading.
bool OthersMayAccess(const struct stat& st, const gid_t* group) {
  mode_t allowed = 0;
  if (group != nullptr && st.st_gid == *group) allowed = S_IRGRP;
  return (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH) & ~allowed) != 0;
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
  return text;
}

CaptureTarget Failed(CaptureTarget t, int error) {
  if (t.fd >= 0) close(t.fd);
  if (t.pathFd >= 0) close(t.pathFd);
  t.fd = t.pathFd = -1;
  t.kind = CAPTURE_TARGET_FAILED;
  t.error = error;
  return t;
}

CaptureTarget Refused(CaptureTarget t, const std::string& why) {
  t = Failed(t, 0);
  t.kind = CAPTURE_TARGET_REFUSED;
  t.why = why;
  return t;
}

// The name in dirFd is the user's own regular file of one name: one that may be removed.
bool OwnFileAt(int dirFd, const std::string& name, struct stat* st) {
  return fstatat(dirFd, name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st->st_mode) &&
         st->st_uid == geteuid() && st->st_nlink == 1;
}

// Keeps at most keep capture files of prefix's in dirFd (the one just made among them): the
// oldest by name, which is by start time, go. Others' files and other names are left alone.
void PruneCaptureDirectory(int dirFd, const std::string& prefix, size_t keep) {
  const int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* dir = fdopendir(listFd);
  if (dir == nullptr) {
    close(listFd);
    return;
  }
  std::vector<std::string> ours;
  struct stat st;
  while (const dirent* e = readdir(dir)) {
    if (IsCaptureFileName(prefix, e->d_name) && OwnFileAt(dirFd, e->d_name, &st)) ours.emplace_back(e->d_name);
  }
  closedir(dir);
  std::sort(ours.begin(), ours.end());
  for (size_t i = 0; i + keep < ours.size(); ++i) unlinkat(dirFd, ours[i].c_str(), 0);
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
    t.nameInDir = name;
    return t;
  }
  return Failed(t, EEXIST);
}

}  // namespace

CaptureTarget OpenCaptureTarget(const std::string& name, const std::string& prefix, int64_t unixMillis,
                                const gid_t* group, size_t keep) {
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
      if (t.kind != CAPTURE_TARGET_FILE) {
        close(dirFd);
        return t;
      }
      if (keep > 0) PruneCaptureDirectory(dirFd, prefix, keep);
      t.dirFd = dirFd;
      return t;
    }
    if (st.st_uid != geteuid()) return Refused(t, "it belongs to another user");
    // Whoever could open it before the run could read the capture, or write into it.
    const bool open = OthersMayAccess(st, group);
    const std::string openWhy = "others may read or write it (mode " + ModeText(st.st_mode) + ")";
    if (S_ISFIFO(st.st_mode)) {
      if (open) return Refused(t, openWhy);
      t.kind = CAPTURE_TARGET_FIFO;
      t.fd = OpenFifoWriter(t.pathFd);
      if (t.fd < 0 && errno != ENXIO) return Failed(t, errno);
      return t;
    }
    if (!S_ISREG(st.st_mode)) return Refused(t, "it is neither a regular file nor a FIFO");
    // A second name of a file is a way into a file its owner did not mean to give.
    if (st.st_nlink > 1) return Refused(t, "it has more than one name (a hard link)");
    if (open) return Refused(t, openWhy);
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

long WriteCaptureFds(CaptureFds* target, const uint8_t* data, size_t length, int timeoutMs) {
  if (target->fd < 0) return -EPIPE;
  if (target->pathFd < 0) {
    // A file: what a failed write left of the record is cut off again, so that the file
    // ends with the last whole record (a full disk takes part of a record, then fails).
    const off_t start = lseek(target->fd, 0, SEEK_CUR);
    size_t done = 0;
    while (done < length) {
      const ssize_t n = write(target->fd, data + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : EIO;
        if (done > 0 && start >= 0 && ftruncate(target->fd, start) == 0) lseek(target->fd, start, SEEK_SET);
        return -error;
      }
      done += size_t(n);
    }
    return long(length);
  }
  pollfd p{target->fd, POLLOUT, 0};
  const int ready = poll(&p, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? 0 : -errno;
  if (ready == 0) return 0;
  const ssize_t n = write(target->fd, data, length);
  if (n >= 0) return long(n);
  return errno == EAGAIN || errno == EINTR ? 0 : -errno;
}

int AwaitCaptureReaderFds(CaptureFds* target, int timeoutMs) {
  // A reader that leaves must make the write fail, not end the process.
  signal(SIGPIPE, SIG_IGN);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (target->fd < 0) {
    target->fd = OpenFifoWriter(target->pathFd);
    if (target->fd >= 0) break;
    if (errno != ENXIO) return errno;
    if (std::chrono::steady_clock::now() >= deadline) return EAGAIN;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

void DropCaptureReaderFds(CaptureFds* target) {
  if (target->fd >= 0) close(target->fd);
  target->fd = -1;
}

void CloseCaptureFds(CaptureFds* target) {
  DropCaptureReaderFds(target);
  if (target->pathFd >= 0) close(target->pathFd);
  target->pathFd = -1;
  if (target->dirFd >= 0) close(target->dirFd);
  target->dirFd = -1;
}

void CloseEmptyCaptureFds(CaptureFds* target) {
  struct stat mine, named;
  if (target->dirFd >= 0 && target->fd >= 0 && fstat(target->fd, &mine) == 0 &&
      OwnFileAt(target->dirFd, target->nameInDir, &named) && SameFile(mine, named))
    unlinkat(target->dirFd, target->nameInDir.c_str(), 0);
  CloseCaptureFds(target);
}

}  // namespace tarnexio_posix
