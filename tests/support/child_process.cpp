#include "child_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <stdexcept>

#include "test_time.h"

namespace tarnexio_test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                           int umask) {
  int in[2];
  int out[2];
  if (argv.empty() || pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  name_ = argv[0].substr(argv[0].rfind('/') + 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE, SIGUSR1}) signal(sig, SIG_DFL);
    if (umask >= 0) ::umask((mode_t)umask);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  inFd_ = in[1];
  outFd_ = out[0];
  pump_ = std::thread([this] { Pump(); });
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  CloseInput();
  if (pump_.joinable()) pump_.join();
  if (outFd_ >= 0) close(outFd_);
}

void ChildProcess::Pump() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(outFd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> hold(lock_);
    if (n <= 0) {
      eof_ = true;
      changed_.notify_all();
      return;
    }
    output_.append(buf, (size_t)n);
    changed_.notify_all();
  }
}

std::string ChildProcess::Output() {
  std::lock_guard<std::mutex> hold(lock_);
  return output_;
}

::testing::AssertionResult ChildProcess::Gave(const std::string& what, Millis timeout) {
  std::string end = "it did not come in that time";
  if (eof_) {
    // How the program ended, when it has: a crash is told as one.
    int st = 0;
    if (!reaped_ && pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = st;
    }
    end = "the output ended first";
    if (reaped_ && WIFEXITED(status_)) end += " (" + name_ + " exited with " + std::to_string(WEXITSTATUS(status_)) + ")";
    if (reaped_ && WIFSIGNALED(status_))
      end += " (" + name_ + " was killed by signal " + std::to_string(WTERMSIG(status_)) + ", " +
             strsignal(WTERMSIG(status_)) + ")";
  }
  return ::testing::AssertionFailure() << "waited " << Scaled(timeout).count() << " ms for " << what << " in " << name_
                                       << "'s output; " << end << "; the last of the output:\n"
                                       << Tail(output_);
}

::testing::AssertionResult ChildProcess::WaitForOutput(const std::string& text, Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, Scaled(timeout), [&] { return output_.find(text) != std::string::npos || eof_; });
  if (output_.find(text) != std::string::npos) return ::testing::AssertionSuccess();
  return Gave("\"" + Printable(text) + "\"", timeout);
}

::testing::AssertionResult ChildProcess::WaitForCount(const std::string& text, int n, Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, Scaled(timeout), [&] { return (int)Occurrences(output_, text) >= n || eof_; });
  const int seen = (int)Occurrences(output_, text);
  if (seen >= n) return ::testing::AssertionSuccess();
  return Gave("\"" + Printable(text) + "\" " + std::to_string(n) + " times (seen " + std::to_string(seen) + ")", timeout);
}

::testing::AssertionResult ChildProcess::WaitForMore(size_t known, Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, Scaled(timeout), [&] { return output_.size() > known || eof_; });
  if (output_.size() > known) return ::testing::AssertionSuccess();
  return Gave("more than " + std::to_string(known) + " bytes", timeout);
}

::testing::AssertionResult ChildProcess::WaitForEnd(Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  if (changed_.wait_for(hold, Scaled(timeout), [&] { return eof_; })) return ::testing::AssertionSuccess();
  return Gave("the end", timeout);
}

int ChildProcess::CountAtEnd(const std::string& text, Millis timeout) {
  if (!WaitForEnd(timeout)) return -1;
  return Count(text);
}

std::string ChildProcess::WaitForLine(const std::string& start, Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  size_t end = std::string::npos;
  const auto whole = [&] {
    for (size_t at = output_.find(start); at != std::string::npos; at = output_.find(start, at + 1)) {
      if (at != 0 && output_[at - 1] != '\n') continue;
      end = output_.find('\n', at);
      if (end != std::string::npos) return output_.substr(at, end - at);
    }
    return std::string();
  };
  std::string line;
  changed_.wait_for(hold, Scaled(timeout), [&] { return !(line = whole()).empty() || eof_; });
  return line.empty() ? whole() : line;
}

int ChildProcess::Count(const std::string& text) { return (int)Occurrences(Output(), text); }

bool ChildProcess::HasInOrder(const std::vector<std::string>& lines) { return ContainsInOrder(Output(), lines); }

void ChildProcess::CloseInput() {
  if (inFd_ >= 0) close(inFd_);
  inFd_ = -1;
}

bool ChildProcess::Signal(int sig) { return !reaped_ && pid_ > 0 && kill(pid_, sig) == 0; }

bool ChildProcess::Reap(Millis timeout) {
  if (reaped_) return true;
  if (pid_ <= 0) return false;
  const auto deadline = Clock::now() + Scaled(timeout);
  for (;;) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = st;
      // Let the pump take the last output.
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait_for(hold, Scaled(Millis(2000)), [&] { return eof_; });
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(Millis(5));
  }
}

bool ChildProcess::ExitedNormally() const { return reaped_ && WIFEXITED(status_); }

bool ChildProcess::Running() { return pid_ > 0 && !Reap(Millis(0)); }

int ChildProcess::WaitExit(Millis timeout) {
  if (!Reap(timeout)) return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

int ChildProcess::WaitStatus(Millis timeout) {
  if (Reap(timeout)) return status_;
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Reap(Millis(5000));
  }
  return -1;
}

std::string Tail(const std::string& text, size_t most) {
  if (text.size() <= most) return text;
  size_t from = text.size() - most;
  const size_t line = text.find('\n', from);
  if (line != std::string::npos && line + 1 < text.size() && line - from < 200) from = line + 1;
  return "[" + std::to_string(from) + " bytes before]\n" + text.substr(from);
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += (char)c;
    }
  }
  return out;
}

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + ".XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

SmallDisk::SmallDisk(size_t size) {
  char pattern[] = "/tmp/tarnexio-disk.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    why = std::string("no directory for a small disk: ") + std::strerror(errno);
    return;
  }
  path = pattern;
  const std::string options = "size=" + std::to_string(size) + ",mode=0700";
  if (mount("tarnexio-small", path.c_str(), "tmpfs", 0, options.c_str()) != 0)
    why = std::string("cannot mount a small tmpfs: ") + std::strerror(errno);
}

SmallDisk::~SmallDisk() {
  if (path.empty()) return;
  if (why.empty()) umount2(path.c_str(), MNT_DETACH);
  rmdir(path.c_str());
}

size_t Occurrences(const std::string& text, const std::string& piece) {
  if (piece.empty()) return 0;
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++n;
  return n;
}

std::vector<unsigned long long> CountsOfLines(const std::string& text, const std::string& before,
                                              const std::string& after) {
  std::vector<unsigned long long> counts;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    if (line.compare(0, before.size(), before) != 0) continue;
    size_t digits = before.size();
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == before.size() || line.compare(digits, after.size(), after) != 0) continue;
    counts.push_back(std::stoull(line.substr(before.size(), digits - before.size())));
  }
  return counts;
}

bool ContainsInOrder(const std::string& out, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const auto& line : lines) {
    at = out.find(line, at);
    if (at == std::string::npos) return false;
    at += line.size();
  }
  return true;
}

namespace {

// The ports the system hands out for outgoing connections and binds to port 0; a port
// outside them is not taken by a connection some other test opens meanwhile.
std::pair<int, int> EphemeralPorts() {
  int low = 32768, high = 60999;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    int a = 0, b = 0;
    if (std::fscanf(f, "%d %d", &a, &b) == 2 && a > 0 && a <= b && b <= 65535) {
      low = a;
      high = b;
    }
    std::fclose(f);
  }
  return {low, high};
}

}  // namespace

bool PortFreeForListening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // As the bridge binds: every address, with SO_REUSEADDR, so that a port whose last
  // connection lingers in TIME_WAIT counts as free and one that another socket holds
  // (on any address) does not.
  int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons((uint16_t)port);
  const bool free = bind(fd, (sockaddr*)&addr, sizeof addr) == 0;
  close(fd);
  return free;
}

int FreePort() {
  // Outside the ephemeral range, starting at a place of this process's own (two test
  // processes rarely try the same ports) and never the same port twice in one process.
  static std::mutex pick;
  static unsigned next = 0;
  std::lock_guard<std::mutex> hold(pick);
  const std::pair<int, int> ephemeral = EphemeralPorts();
  std::vector<std::pair<int, int>> ranges;
  const int lowest = 10000;
  if (ephemeral.first - 1 >= lowest) ranges.push_back({lowest, ephemeral.first - 1});
  if (ephemeral.second + 1 <= 65535) ranges.push_back({ephemeral.second + 1, 65535});
  if (ranges.empty()) ranges.push_back({1024, 65535});
  unsigned total = 0;
  for (const auto& r : ranges) total += (unsigned)(r.second - r.first + 1);
  if (next == 0) {
    const auto now = (unsigned)std::chrono::steady_clock::now().time_since_epoch().count();
    next = ((unsigned)getpid() * 2654435761u) ^ now;
  }
  for (unsigned tries = 0; tries < 1000; ++tries) {
    unsigned index = next++ % total;
    int port = 0;
    for (const auto& r : ranges) {
      const unsigned size = (unsigned)(r.second - r.first + 1);
      if (index < size) {
        port = r.first + (int)index;
        break;
      }
      index -= size;
    }
    if (PortFreeForListening(port)) return port;
  }
  return 0;
}

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)port);
  if (connect(fd, (sockaddr*)&a, sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

namespace {

// An IPv4 or IPv6 literal and a port as a socket address; false when text is neither.
bool SocketAddress(const std::string& text, int port, sockaddr_storage* out, socklen_t* length) {
  *out = sockaddr_storage{};
  sockaddr_in* in = (sockaddr_in*)out;
  sockaddr_in6* in6 = (sockaddr_in6*)out;
  if (inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons((uint16_t)port);
    *length = sizeof *in;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons((uint16_t)port);
    *length = sizeof *in6;
    return true;
  }
  errno = EINVAL;
  return false;
}

}  // namespace

int ConnectFrom(const std::string& from, const std::string& address, int port) {
  sockaddr_storage to, local;
  socklen_t toLength = 0, localLength = 0;
  if (!SocketAddress(address, port, &to, &toLength)) return -1;
  if (!from.empty() && !SocketAddress(from, 0, &local, &localLength)) return -1;
  const int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if ((from.empty() || bind(fd, (sockaddr*)&local, localLength) == 0) && connect(fd, (sockaddr*)&to, toLength) == 0)
    return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

bool HasIpv6Loopback() {
  sockaddr_storage a;
  socklen_t length = 0;
  SocketAddress("::1", 0, &a, &length);
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool bound = fd >= 0 && bind(fd, (sockaddr*)&a, length) == 0;
  if (fd >= 0) close(fd);
  return bound;
}

bool SaysPortInUse(const std::string& output, int port) {
  // The system's text for EADDRINUSE, or under Wine the Windows error's number; with
  // TARNEXIO_LISTEN the line names the address after the port.
  const std::string line = "Tarnexio: cannot listen on TCP port " + std::to_string(port) + " ";
  for (size_t at = output.find(line); at != std::string::npos; at = output.find(line, at + 1)) {
    const std::string rest = output.substr(at, output.find('\n', at) - at);
    if (rest.find(std::string("(") + std::strerror(EADDRINUSE) + ")") != std::string::npos ||
        rest.find("(error 10048") != std::string::npos)
      return true;
  }
  return false;
}

bool ListensOnUnixSocket(pid_t pid, const std::string& path) {
  // /proc/net/unix: "Num RefCount Protocol Flags Type St Inode Path"; flag 0x10000 is a
  // listening socket. The network namespace's list names sockets of every mount namespace,
  // so the inode must also be one of pid's descriptors.
  std::vector<unsigned long> inodes;
  if (FILE* f = std::fopen("/proc/net/unix", "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      unsigned long flags = 0, type = 0, inode = 0;
      char bound[256] = "";
      if (std::sscanf(line, "%*s %*s %*s %lx %lx %*s %lu %255s", &flags, &type, &inode, bound) == 4 &&
          (flags & 0x10000) != 0 && type == 1 && path == bound)
        inodes.push_back(inode);
    }
    std::fclose(f);
  }
  if (inodes.empty()) return false;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fds.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* e = readdir(dir)) {
    char target[64];
    const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    for (unsigned long inode : inodes)
      if (std::string(target) == "socket:[" + std::to_string(inode) + "]") found = true;
  }
  closedir(dir);
  return found;
}

std::vector<std::string> FtmdBehaviourOptions() {
  const char* pend = std::getenv("TARNEXIO_TEST_PEND_ALWAYS");
  if (pend != nullptr && std::string(pend) == "1") return {"--pend-always"};
  return {};
}

std::string FileContents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tarnexio_test
