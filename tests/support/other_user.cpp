#include "other_user.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_time.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tarnexio_test {

bool FindOtherUser(OtherUser& out, std::string& whyNot) {
  if (geteuid() != 0) {
    whyNot = "another user can only be had from a root test run";
    return false;
  }
  const passwd* pw = getpwnam("nobody");
  if (pw == nullptr || pw->pw_uid == 0) {
    whyNot = "this machine has no user nobody";
    return false;
  }
  out.uid = pw->pw_uid;
  out.gid = pw->pw_gid;
  return true;
}

std::vector<std::string> AsUserCommand(const OtherUser& user) {
  return {"setpriv", "--reuid=" + std::to_string(user.uid), "--regid=" + std::to_string(user.gid), "--clear-groups"};
}

namespace {
// In the child: becomes `user`, keeping CAP_DAC_OVERRIDE alone when asked to.
bool BecomeUser(const OtherUser& user, bool bypassFileModes) {
  if (bypassFileModes && prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return false;
  if (setgroups(0, nullptr) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
      setresuid(user.uid, user.uid, user.uid) != 0)
    return false;
  if (!bypassFileModes) return true;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  const uint32_t bit = 1u << CAP_DAC_OVERRIDE;
  data[0].effective = bit;
  data[0].permitted = bit;
  return syscall(SYS_capset, &header, data) == 0;
}
}  // namespace

AsUser::AsUser(const OtherUser& user, bool bypassFileModes, const std::function<int(int)>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(fds[0]);
    _exit(BecomeUser(user, bypassFileModes) ? body(fds[1]) : 125);
  }
  close(fds[1]);
  readyFd_ = fds[0];
}

AsUser::~AsUser() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (readyFd_ >= 0) close(readyFd_);
}

bool AsUser::WaitReady(int timeoutMs) {
  pollfd p{readyFd_, POLLIN, 0};
  char byte;
  return readyFd_ >= 0 && poll(&p, 1, ScaledMs(timeoutMs)) == 1 && read(readyFd_, &byte, 1) == 1;
}

int AsUser::Wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(Millis(timeoutMs));
  while (pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

PeerVerdict ConnectAndWatch(const std::string& unixPath, int tcpPort, int timeoutMs) {
  int fd;
  int rc;
  if (!unixPath.empty()) {
    fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", unixPath.c_str());
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(tcpPort));
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) {
    close(fd);
    return PeerVerdict::kNoConnection;
  }
  pollfd p{fd, POLLIN, 0};
  char byte;
  const bool closed = poll(&p, 1, ScaledMs(timeoutMs)) == 1 && recv(fd, &byte, 1, 0) <= 0;
  close(fd);
  return closed ? PeerVerdict::kClosed : PeerVerdict::kOpen;
}

namespace {

std::function<std::string(const std::string&)> ItIs(const std::string& words) {
  return [words](const std::string&) { return "it " + words; };
}

// On the path of `used`, its parent: "on its path, PARENT " and words.
std::function<std::string(const std::string&)> ParentIs(const std::string& words) {
  return [words](const std::string& used) {
    return "on its path, " + used.substr(0, used.rfind('/')) + " " + words;
  };
}

// DIR/NAME made with `mode` and owner, and DIR/NAME/dev made ours and private under it.
std::string Beneath(const std::string& dir, const char* name, mode_t mode, uid_t uid, gid_t gid) {
  const std::string parent = dir + "/" + name, used = parent + "/dev";
  mkdir(parent.c_str(), 0700);
  mkdir(used.c_str(), 0700);
  if (chmod(parent.c_str(), mode) != 0 || chown(parent.c_str(), uid, gid) != 0) return "(not planted)";
  return used;
}

}  // namespace

std::vector<UntrustedDirectory> UntrustedDirectories() {
  std::vector<UntrustedDirectory> cases = {
      {"symlink",
       [](const std::string& dir) {
         const std::string link = dir + "-link";
         return symlink(dir.c_str(), link.c_str()) == 0 ? link : std::string("(no symlink)");
       },
       ItIs("is a symbolic link")},
      {"group-writable",
       [](const std::string& dir) {
         chmod(dir.c_str(), 0770);
         return dir;
       },
       ItIs("is writable by group or others (mode 0770)")},
      {"world-writable, sticky",
       [](const std::string& dir) {
         chmod(dir.c_str(), 01777);
         return dir;
       },
       ItIs("is writable by group or others (mode 1777)")},
      {"beneath a world-writable directory",
       [](const std::string& dir) { return Beneath(dir, "open", 0777, geteuid(), getegid()); },
       ParentIs("is writable by group or others (mode 0777)")},
  };
  OtherUser other;
  std::string whyNot;
  if (!FindOtherUser(other, whyNot)) {
    std::printf("[ SKIPPED  ] directories of another user: %s\n", whyNot.c_str());
    return cases;
  }
  const std::string owner = "belongs to uid " + std::to_string(other.uid) + ", neither this user nor root";
  cases.push_back({"another user's",
                   [other](const std::string& dir) {
                     return chown(dir.c_str(), other.uid, other.gid) == 0 ? dir : std::string("(not given away)");
                   },
                   ItIs(owner)});
  cases.push_back({"beneath another user's directory",
                   [other](const std::string& dir) { return Beneath(dir, "theirs", 0755, other.uid, other.gid); },
                   ParentIs(owner)});
  return cases;
}

namespace {

// A file only its owner (root) may read, with bytes to recognise.
std::string RootOnlyFile(const std::string& dir) {
  const std::string path = dir + "/root-only";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    const char text[] = "bytes of root that no capture may replace";
    (void)!write(fd, text, sizeof text - 1);
    close(fd);
  }
  return path;
}

}  // namespace

std::vector<PlantedCaptureName> PlantedCaptureNames() {
  std::vector<PlantedCaptureName> cases = {
      {"a symbolic link to a root-only file",
       [](const std::string& dir, std::string* victim) {
         *victim = RootOnlyFile(dir);
         const std::string link = dir + "/capture.btsnoop";
         return symlink(victim->c_str(), link.c_str()) == 0 ? link : std::string("(no symlink)");
       },
       "it is a symbolic link"},
      {"a second name of a root-only file",
       [](const std::string& dir, std::string* victim) {
         *victim = RootOnlyFile(dir);
         const std::string name = dir + "/capture.btsnoop";
         return link(victim->c_str(), name.c_str()) == 0 ? name : std::string("(no hard link)");
       },
       "it has more than one name"},
      {"a character device", [](const std::string&, std::string*) { return std::string("/dev/null"); },
       "it is neither a regular file nor a FIFO"},
      // Objects of the user's own that others could open before the run: a FIFO made under
      // umask 022, a file whose group may write it.
      {"the user's FIFO that others may read",
       [](const std::string& dir, std::string*) {
         const std::string fifo = dir + "/live.pcapng";
         return mkfifo(fifo.c_str(), 0600) == 0 && chmod(fifo.c_str(), 0644) == 0 ? fifo : std::string("(no FIFO)");
       },
       "others may read or write it (mode 0644)"},
      {"the user's file that its group may write",
       [](const std::string& dir, std::string* victim) {
         *victim = RootOnlyFile(dir);
         return chmod(victim->c_str(), 0620) == 0 ? *victim : std::string("(no file)");
       },
       "others may read or write it (mode 0620)"},
  };
  OtherUser other;
  std::string whyNot;
  if (!FindOtherUser(other, whyNot)) {
    std::printf("[ SKIPPED  ] capture names of another user: %s\n", whyNot.c_str());
    return cases;
  }
  cases.push_back({"another user's symbolic link to a root-only file",
                   [other](const std::string& dir, std::string* victim) {
                     *victim = RootOnlyFile(dir);
                     const std::string link = dir + "/capture.btsnoop";
                     if (symlink(victim->c_str(), link.c_str()) != 0 || lchown(link.c_str(), other.uid, other.gid) != 0)
                       return std::string("(no symlink)");
                     return link;
                   },
                   "it is a symbolic link"});
  cases.push_back({"another user's file",
                   [other](const std::string& dir, std::string* victim) {
                     *victim = RootOnlyFile(dir);
                     if (chown(victim->c_str(), other.uid, other.gid) != 0 || chmod(victim->c_str(), 0666) != 0)
                       return std::string("(not given away)");
                     return *victim;
                   },
                   "it belongs to another user"});
  cases.push_back({"another user's FIFO",
                   [other](const std::string& dir, std::string*) {
                     const std::string fifo = dir + "/capture.btsnoop";
                     if (mkfifo(fifo.c_str(), 0666) != 0 || chown(fifo.c_str(), other.uid, other.gid) != 0)
                       return std::string("(no FIFO)");
                     return fifo;
                   },
                   "it belongs to another user"});
  return cases;
}

std::string CaptureStderr(const std::function<void()>& body) {
  char path[] = "/tmp/tnx-stderr-XXXXXX";
  const int file = mkstemp(path);
  if (file < 0) return "(cannot capture standard error)";
  unlink(path);
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  body();
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text;
  char buf[4096];
  ssize_t n;
  lseek(file, 0, SEEK_SET);
  while ((n = read(file, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
  close(file);
  return text;
}

}  // namespace tarnexio_test
