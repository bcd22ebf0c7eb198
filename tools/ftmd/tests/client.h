// Test helpers: an ftmd process started on its own device directory, and a device
// channel client (Unix-domain datagrams or the TCP form).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "child_process.h"
#include "controller.h"
#include "protocol.h"
#include "timers.h"

namespace ftmd_test {

using ftmd::Bytes;

using tarnexio_test::TempDir;

// How ftmd is started: behind a command prefix (another user), with a umask of its own.
struct Launch {
  std::vector<std::string> prefix;
  int umask = -1;  // -1: the test's
};

// ftmd as a child process of the shared support library, with ftmd's own ready line.
class FtmdProcess {
 public:
  // Starts ftmd with --dir `dir` and `args`; waits (bounded) for its ready line.
  FtmdProcess(const std::string& dir, std::vector<std::string> args, const Launch& launch = Launch());
  // Ends ftmd with SIGTERM, and with SIGKILL when it does not end in time.
  ~FtmdProcess();
  FtmdProcess(const FtmdProcess&) = delete;
  FtmdProcess& operator=(const FtmdProcess&) = delete;
  bool ready() const { return !readyLine_.empty(); }
  const std::string& readyLine() const { return readyLine_; }
  pid_t pid() const { return child_->pid(); }
  void signal(int sig);
  // Waits (bounded) for the process to end; returns its exit status, or -1 (also when a
  // signal ended it).
  int wait(int timeoutMs = 5000);
  // Everything it printed so far (stdout and stderr), after waiting at most waitMs for
  // more than the last call saw.
  std::string output(int waitMs = 100);
  // Waits until ftmd has printed text; on failure says what it printed.
  ::testing::AssertionResult waitForOutput(const std::string& text, int timeoutMs = 5000);
  tarnexio_test::ChildProcess& child() { return *child_; }

 private:
  std::unique_ptr<tarnexio_test::ChildProcess> child_;
  std::string readyLine_;
  size_t seen_ = 0;
};

struct Reply {
  bool got = false;
  uint32_t kind = 0, id = 0, status = 0;
  Bytes out;
};

class DevClient {
 public:
  DevClient() = default;
  explicit DevClient(const std::string& socketPath);  // Unix-domain form
  explicit DevClient(int tcpPort);                    // TCP form on 127.0.0.1
  ~DevClient();
  bool connected() const { return fd_ >= 0; }
  void close();
  void sendRaw(const Bytes& msg);
  void ioctl(uint32_t id, uint32_t code, uint32_t outSize, const Bytes& in = {});
  void cancel(uint32_t id);
  // The next reply; a lane offer on the way is kept (offer()), not returned.
  Reply recv(int timeoutMs = 3000);
  const wire::LaneToken& offer() const { return offer_; }
  // Sends an IOCTL and returns its first reply.
  Reply call(uint32_t id, uint32_t code, uint32_t outSize, const Bytes& in = {});
  // Sends an IOCTL and returns its COMPLETE, whether ftmd answered PENDING first (as it
  // does when the request has to wait, and always with --pend-always) or not.
  Reply callPending(uint32_t id, uint32_t code, uint32_t outSize, const Bytes& in = {});

 private:
  bool keptAsOffer(const Bytes& msg);

  int fd_ = -1;
  bool tcp_ = false;
  Bytes in_;
  wire::LaneToken offer_;
};

// A controller's host that records what the controller sends and runs its timers on
// request; `room` bounds the packets it takes. Its clock moves only when a test moves it.
struct FakeHost : ftmd::ControllerHost {
  ftmd::ManualClock clock;
  ftmd::TimePoint now() const override { return clock.now(); }
  std::vector<std::pair<ftmd::Channel, Bytes>> got;
  std::vector<std::function<void()>> timers;
  size_t room = 1000;
  bool lost = false;
  bool hasRoom(ftmd::Channel) const override { return got.size() < room; }
  void deliver(ftmd::Channel ch, Bytes p) override { got.emplace_back(ch, std::move(p)); }
  void after(std::chrono::milliseconds, std::function<void()> fn) override { timers.push_back(std::move(fn)); }
  void controllerLost() override { lost = true; }
  void runTimers() {
    auto t = std::move(timers);
    timers.clear();
    for (auto& f : t) f();
  }
  Bytes take() {
    Bytes b = got.front().second;
    got.erase(got.begin());
    return b;
  }
};

std::string deviceSocket(const std::string& dir, int type);
// The port the ready line names for `what` ("TCP form" or "H4"), or -1.
int readyPort(const std::string& readyLine, const std::string& what);
// One HCI command as a write carries it: opcode, parameter length, parameters.
Bytes hciCommand(uint16_t op, const Bytes& params = {});
Bytes le32Bytes(uint32_t v);
size_t countFds(pid_t pid);
long vmRssKb(pid_t pid);

}  // namespace ftmd_test
