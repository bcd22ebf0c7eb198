// Runs a helper program as a child process for tests, with bounded waits.
//
// The child gets pipes for standard input and output, and starts with every signal
// unblocked and at its default action, whatever the test process has blocked. The
// destructor kills (SIGKILL) and reaps a child that is still running and closes the pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarnexio_test {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Everything read from the child's standard output so far.
  const std::string& output() const { return output_; }
  // Reads until the output contains text; false when the time runs out or the output ends.
  bool ReadUntil(const std::string& text, int timeoutMs);
  // Reads until the end of the output; false when the time runs out first.
  bool ReadToEnd(int timeoutMs);
  // Closes the child's standard input.
  void CloseInput();
  bool Signal(int sig);
  // Waits for the child to end and returns its wait status; kills it and returns -1
  // when the time runs out.
  int Wait(int timeoutMs);

 private:
  bool ReadSome(int timeoutMs);  // false at end of output or on timeout

  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  bool reaped_ = false;
  std::string output_;
};

}  // namespace tarnexio_test
