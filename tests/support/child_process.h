// Runs a program as a child process for tests, with bounded waits. Every timeout given to
// a wait is multiplied by the tests' time scale (test_time.h).
//
// The child gets a pipe for standard input and one for standard output and error, which
// a thread of the test collects as it comes. It starts with every signal unblocked and at
// its default action, whatever the test process has blocked. The destructor kills
// (SIGKILL) and reaps a child that is still running and closes the pipes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_time.h"

namespace tarnexio_test {

class ChildProcess {
 public:
  // Runs argv[0] (looked up on PATH when it has no slash) with argv, in the test's
  // environment with env added, with the file mode mask umask (-1: the test's).
  explicit ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                        int umask = -1);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The program's name, as the waits' messages give it.
  const std::string& name() const { return name_; }
  // Everything the child printed so far.
  std::string Output();
  // The waits below fail with what they waited for, how long, whether the output ended
  // first, and the last of the output (so EXPECT_TRUE(child.WaitForOutput(x)) says it all).
  // Waits until the output holds text; fails on timeout or when the output ends first.
  ::testing::AssertionResult WaitForOutput(const std::string& text, Millis timeout = Millis(10000));
  // Waits until text occurs at least n times; fails on timeout or end of output.
  ::testing::AssertionResult WaitForCount(const std::string& text, int n, Millis timeout = Millis(10000));
  // Waits until the output grows past known bytes; fails on timeout or end of output.
  ::testing::AssertionResult WaitForMore(size_t known, Millis timeout);
  // Waits for the end of the output; fails on timeout.
  ::testing::AssertionResult WaitForEnd(Millis timeout = Millis(10000));
  // Waits for the end of the output and then counts text: for a test that needs "exactly
  // n" of a line that more than one thread or process prints. -1 when the output did not end.
  int CountAtEnd(const std::string& text, Millis timeout = Millis(10000));
  // Waits for a whole line that starts with start; the line without its end, or "" on
  // timeout or end of output.
  std::string WaitForLine(const std::string& start, Millis timeout = Millis(10000));
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
  // True once the child was reaped and had exited (rather than died of a signal).
  bool ExitedNormally() const;

 private:
  void Pump();
  bool Reap(Millis timeout);
  // The failure of a wait for what, that lasted timeout: the end of the output is told
  // from a timeout, and the last of the output follows. Called with lock_ held.
  ::testing::AssertionResult Gave(const std::string& what, Millis timeout);

  std::string name_;
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

// A temporary directory below /tmp, removed with everything in it when the object goes;
// path is empty when none could be made.
// A tmpfs of `size` bytes mounted on a directory of its own (root only): a disk that fills.
// Unmounted when it goes.
struct SmallDisk {
  explicit SmallDisk(size_t size);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  std::string path;
  std::string why;  // why it could not be had, or ""
};

struct TempDir {
  explicit TempDir(const std::string& prefix = "tarnexio-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

// True when every line appears in out, each after the one before.
bool ContainsInOrder(const std::string& out, const std::vector<std::string>& lines);

// The whole of a file, byte for byte; empty when it cannot be read.
std::string FileContents(const std::string& path);

// The last bytes of text (at most most of them), from the start of a line where one is near.
std::string Tail(const std::string& text, size_t most = 2000);

// text with line ends and other control bytes written out (\n, \x01), for a message.
std::string Printable(const std::string& text);

// How many times piece occurs in text, one occurrence after the other (0 for an empty piece).
size_t Occurrences(const std::string& text, const std::string& piece);

// The counts that whole lines of text give between before and after ("BTFTM: " 12 " more
// ..."), in order.
std::vector<unsigned long long> CountsOfLines(const std::string& text, const std::string& before,
                                              const std::string& after);

// A TCP port for a program under test to listen on: outside the system's ephemeral range
// (so no outgoing connection takes it meanwhile), free on every address as the bridge
// binds it (SO_REUSEADDR), and not handed out before by this process. 0 when none is found.
// Another process may still bind it before the program does: a launcher that gets
// SaysPortInUse starts the program again on another port.
int FreePort();

// A TCP connection to 127.0.0.1:port (close-on-exec), or -1.
int ConnectLoopback(int port);

// A TCP connection to address:port (an IPv4 or IPv6 literal) from a socket bound to the
// address `from` first ("" leaves the choice to the system), close-on-exec; -1 with errno
// set when it cannot be made.
int ConnectFrom(const std::string& from, const std::string& address, int port);

// True when this machine has an IPv6 loopback address (::1) to listen on.
bool HasIpv6Loopback();

// True when a socket bound as the bridge binds (every address, SO_REUSEADDR) may take port.
bool PortFreeForListening(int port);

// True when output holds the bridge's line for a listening port that is in use (and for
// no other reason it could not listen).
bool SaysPortInUse(const std::string& output, int port);

// True when process pid holds a listening Unix-domain stream socket bound to path: a
// server that is ready for connections, told without connecting (which some servers
// count) and without being fooled by a socket of that name in another mount namespace.
bool ListensOnUnixSocket(pid_t pid, const std::string& path);

// The options every test adds to ftmd's command line: --pend-always when the environment
// has TARNEXIO_TEST_PEND_ALWAYS=1, so that one build's suite runs against ftmd in
// either of its behaviours.
std::vector<std::string> FtmdBehaviourOptions();

}  // namespace tarnexio_test
