#include "platform/posix/trusted_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "wire/device_dir.h"

namespace tarnexio_posix {
namespace {

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

TrustedDirectory Failed(const std::string& path, int error) {
  TrustedDirectory result;
  result.failed = path;
  result.error = error;
  return result;
}

// Opens `name` in the directory `at` as a directory; a symbolic link only when `follow`.
int OpenDirectoryAt(int at, const std::string& name, bool follow, bool forReading) {
  const int flags = O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd = forReading ? openat(at, name.c_str(), O_RDONLY | flags) : -1;
  if (fd < 0 && (!forReading || errno == EACCES)) fd = openat(at, name.c_str(), O_PATH | flags);
  return fd;
}

}  // namespace

TrustedDirectory OpenTrustedDirectory(const std::string& dir, MakeMissing make, unsigned long uid) {
  std::string absolute = dir;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return Failed(".", errno);
    absolute = std::string(cwd) + "/" + dir;
  }
  const std::vector<std::string> parts = Components(absolute);
  int at = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (at < 0) return Failed("/", errno);
  std::string shown;  // the path of `at`, as far as it has come
  struct stat st;
  auto untrusted = [&](const std::string& why) {
    close(at);
    TrustedDirectory result;
    result.problem = why;
    return result;
  };
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& name = parts[i];
    const bool last = i + 1 == parts.size();
    if (fstat(at, &st) != 0) {
      const int error = errno;
      close(at);
      return Failed(shown.empty() ? "/" : shown, error);
    }
    std::string why = DeviceDirectoryParentProblem(st.st_mode, st.st_uid, uid);
    if (!why.empty()) return untrusted("on its path, " + (shown.empty() ? "/" : shown) + " " + why);
    if (make == MakeMissing::kAll || (last && make == MakeMissing::kLast)) {
      mkdirat(at, name.c_str(), last ? 0700 : 0755);  // whatever is there is judged below
    }
    int next = OpenDirectoryAt(at, name, false, last);
    if (next < 0 && (errno == ELOOP || errno == ENOTDIR) &&
        fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      why = DeviceDirectoryProblem(st.st_mode, st.st_uid, uid);
      if (last) return untrusted("it " + why);
      if (!S_ISLNK(st.st_mode)) return untrusted("on its path, " + shown + "/" + name + " " + why);
      // Only root or this user can have put the link here; where it leads is checked next.
      next = OpenDirectoryAt(at, name, true, false);
    }
    const int error = errno;
    close(at);
    if (next < 0) return Failed(shown + "/" + name, error);
    at = next;
    shown += "/" + name;
  }
  if (fstat(at, &st) != 0) {
    const int error = errno;
    close(at);
    return Failed(absolute, error);
  }
  const std::string why = DeviceDirectoryProblem(st.st_mode, st.st_uid, uid);
  if (!why.empty()) return untrusted("it " + why);
  TrustedDirectory result;
  result.fd = at;
  return result;
}

std::string PathThroughDescriptor(int dirFd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
}

}  // namespace tarnexio_posix
