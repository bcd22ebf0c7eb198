// Runs a program as a child process for tests, with bounded waits.
//
// The child gets a pipe for standard input and one for standard output and error, which
// a thread of the test collects as it comes. It starts with every signal unblocked and at
// its default action, whatever the test process has blocked. The destructor kills
// (SIGKILL) and reaps a child that is still running and closes the pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarnexio_test {

using Millis = std::chrono::milliseconds;

class ChildProcess {
 public:
  // Runs argv[0] with argv, in the test's environment with env added.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Everything the child printed so far.
  std::string Output();
  // Waits until the output holds text; false on timeout or when the output ends first.
  bool WaitForOutput(const std::string& text, Millis timeout = Millis(10000));
  // Waits until text occurs at least n times; false on timeout or end of output.
  bool WaitForCount(const std::string& text, int n, Millis timeout = Millis(10000));
  // Waits until the output grows past known bytes; false on timeout or end of output.
  bool WaitForMore(size_t known, Millis timeout);
  // Waits for the end of the output; false on timeout.
  bool WaitForEnd(Millis timeout);
  // Number of times text occurs in the output.
  int Count(const std::string& text);
  // True when every line appears in the output, each after the one before (lines of
  // other threads may come between them).
  bool HasInOrder(const std::vector<std::string>& lines);

  void CloseInput();
  bool Signal(int sig);
  bool Running();
  // Waits for the exit: the exit status (0..255), 128+signal, or -1 on timeout (the
  // child keeps running).
  int WaitExit(Millis timeout = Millis(10000));
  // Waits for the exit and returns the raw wait status; on timeout kills the child and
  // returns -1.
  int WaitStatus(Millis timeout);

 private:
  void Pump();
  bool Reap(Millis timeout);

  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::thread pump_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::string output_;
  bool eof_ = false;
};

// True when every line appears in out, each after the one before.
bool ContainsInOrder(const std::string& out, const std::vector<std::string>& lines);

// How many times piece occurs in text, one occurrence after the other (0 for an empty piece).
size_t Occurrences(const std::string& text, const std::string& piece);

// A TCP port on 127.0.0.1 that was free a moment ago (bound once and released).
int FreePort();

// The options every test adds to ftmd's command line: --pend-always when the environment
// has TARNEXIO_TEST_PEND_ALWAYS=1, so that one build's suite runs against ftmd in
// either of its behaviours.
std::vector<std::string> FtmdBehaviourOptions();

}  // namespace tarnexio_test
