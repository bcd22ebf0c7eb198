#include "platform/posix/file_replace.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnexio_posix {

namespace {

int WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += size_t(n);
  }
  return 0;
}

// Closes fd and keeps the first error.
int CloseKeeping(int fd, int error) {
  const int closed = close(fd);
  return error != 0 ? error : (closed != 0 ? errno : 0);
}

}  // namespace

int ReplaceFileIn(const std::string& dir, const std::string& name, const std::string& content) {
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return errno;
  const std::string temporary = "." + name + "." + std::to_string(getpid()) + ".tmp";
  int fd = openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    // Left by an earlier process of the same number that ended half way.
    unlinkat(dirFd, temporary.c_str(), 0);
    fd = openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  if (fd < 0) return CloseKeeping(dirFd, errno);
  int error = WriteAll(fd, content);
  if (error == 0 && fchmod(fd, 0644) != 0) error = errno;  // whatever the umask: collectors read it
  if (error == 0 && fsync(fd) != 0) error = errno;
  error = CloseKeeping(fd, error);
  if (error == 0 && renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0) error = errno;
  if (error != 0) unlinkat(dirFd, temporary.c_str(), 0);
  return CloseKeeping(dirFd, error);
}

int ReadFileIn(const std::string& dir, const std::string& name, size_t limit, std::string* content) {
  content->clear();
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return errno;
  const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return CloseKeeping(dirFd, errno);
  int error = 0;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = EINVAL;
  }
  char buffer[4096];
  while (error == 0) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    if (content->size() + size_t(n) > limit) error = EFBIG;
    else content->append(buffer, size_t(n));
  }
  if (error != 0) content->clear();
  error = CloseKeeping(fd, error);
  return CloseKeeping(dirFd, error);
}

}  // namespace tarnexio_posix
