#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace tarnexio_test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
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
    // Only async-signal-safe calls from here on.
    dup2(in[0], 0);
    dup2(out[1], 1);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) signal(sig, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  inFd_ = in[1];
  outFd_ = out[0];
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  CloseInput();
  if (outFd_ >= 0) close(outFd_);
}

bool ChildProcess::ReadSome(int timeoutMs) {
  if (outFd_ < 0) return false;
  struct pollfd p = {outFd_, POLLIN, 0};
  int rc = poll(&p, 1, timeoutMs);
  if (rc < 0 && errno == EINTR) return true;
  if (rc <= 0) return false;
  char buffer[4096];
  ssize_t n = read(outFd_, buffer, sizeof(buffer));
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    close(outFd_);
    outFd_ = -1;
    return false;
  }
  output_.append(buffer, size_t(n));
  return true;
}

bool ChildProcess::ReadUntil(const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (output_.find(text) == std::string::npos) {
    if (!ReadSome(RemainingMs(deadline))) return output_.find(text) != std::string::npos;
  }
  return true;
}

bool ChildProcess::ReadToEnd(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (outFd_ >= 0) {
    if (!ReadSome(RemainingMs(deadline)) && outFd_ >= 0) return false;
  }
  return true;
}

void ChildProcess::CloseInput() {
  if (inFd_ >= 0) close(inFd_);
  inFd_ = -1;
}

bool ChildProcess::Signal(int sig) { return !reaped_ && kill(pid_, sig) == 0; }

int ChildProcess::Wait(int timeoutMs) {
  if (reaped_) return -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t rc = waitpid(pid_, &status, WNOHANG);
    if (rc == pid_) {
      reaped_ = true;
      return status;
    }
    if (RemainingMs(deadline) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  reaped_ = true;
  return -1;
}

}  // namespace tarnexio_test
