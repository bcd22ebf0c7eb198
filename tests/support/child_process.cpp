#include "child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace tarnexio_test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  int in[2];
  int out[2];
  if (argv.empty() || pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
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
    execv(args[0], args.data());
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

bool ChildProcess::WaitForOutput(const std::string& text, Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, timeout, [&] { return output_.find(text) != std::string::npos || eof_; });
  return output_.find(text) != std::string::npos;
}

bool ChildProcess::WaitForCount(const std::string& text, int n, Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, timeout, [&] { return (int)Occurrences(output_, text) >= n || eof_; });
  return (int)Occurrences(output_, text) >= n;
}

bool ChildProcess::WaitForMore(size_t known, Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, timeout, [&] { return output_.size() > known || eof_; });
  return output_.size() > known;
}

bool ChildProcess::WaitForEnd(Millis timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, [&] { return eof_; });
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
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = st;
      // Let the pump take the last output.
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait_for(hold, Millis(2000), [&] { return eof_; });
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(Millis(5));
  }
}

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

size_t Occurrences(const std::string& text, const std::string& piece) {
  if (piece.empty()) return 0;
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++n;
  return n;
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

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, (sockaddr*)&addr, sizeof addr) == 0 && getsockname(fd, (sockaddr*)&addr, &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

std::vector<std::string> FtmdBehaviourOptions() {
  const char* pend = std::getenv("TARNEXIO_TEST_PEND_ALWAYS");
  if (pend != nullptr && std::string(pend) == "1") return {"--pend-always"};
  return {};
}

}  // namespace tarnexio_test
