// End-to-end harness: runs the real binaries (ftmd, Tarnexio) as child processes and
// plays the test host on a real loopback TCP socket. Every wait is bounded.
#pragma once

#include "btvirt_watch.h"
#include "child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace host {
class Link;
}

namespace e2e {

using Bytes = std::vector<uint8_t>;
using Millis = std::chrono::milliseconds;

// A child process whose standard output and error are collected as they come, and a
// temporary directory: the shared support library's.
using Child = tarnexio_test::ChildProcess;
using tarnexio_test::TempDir;
using tarnexio_test::ContainsInOrder;
using tarnexio_test::FreePort;

// Paths of the binaries under test.
std::string BridgeBinary();
std::string FtmdBinary();

// ftmd on its own device directory, waited for until it is ready.
struct Ftmd {
  explicit Ftmd(const std::vector<std::string>& options = {});
  ~Ftmd();  // a driver still running is stopped by SIGTERM, as a service manager would
  Ftmd(Ftmd&&) = default;
  TempDir dir;
  std::unique_ptr<Child> child;
  bool ready = false;  // ftmd printed its serving line
};

// Tarnexio started against a device directory, on a free port.
struct Bridge {
  // env: variables added to the bridge's environment. With port 0 the bridge gets a free
  // port, and WaitListening() starts it again on another one (at most kPortRetries times)
  // when another process took that port first.
  Bridge(const std::string& deviceDir, const std::string& mode, int port = 0,
         const std::map<std::string, std::string>& env = {});
  ~Bridge();  // a bridge still running is stopped by Ctrl+C, as its operator would
  Bridge(Bridge&&) = default;
  int port;
  std::unique_ptr<Child> child;
  // Waits until the bridge listens; on failure says what it printed.
  ::testing::AssertionResult WaitListening(Millis timeout = Millis(10000));
  static constexpr int kPortRetries = 3;
  int portRetries = 0;  // how often the port was found taken

 private:
  void Start();
  std::string deviceDir_, mode_;
  std::map<std::string, std::string> env_;
  bool portChosen_;
};

// The test host: tarnexio-host's connection, connected to 127.0.0.1:port, with bounded
// receives. Every timeout is multiplied by the tests' time scale.
class TestHost {
 public:
  // Connects to 127.0.0.1:port, retrying until timeout.
  explicit TestHost(int port, Millis timeout = Millis(10000));
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;
  bool connected() const;
  void Send(const Bytes& bytes);
  // Receives exactly n bytes; returns fewer on timeout or close.
  Bytes Receive(size_t n, Millis timeout = Millis(5000));
  // Receives one H4 packet from the bridge (type byte, header and payload); a byte that
  // starts no packet comes back on its own.
  Bytes ReceiveH4(Millis timeout = Millis(5000));
  // Receives up to and including the next 0x7E; empty on timeout.
  Bytes ReceiveFrame(Millis timeout = Millis(5000));
  // True when nothing arrives within the time given.
  bool Quiet(Millis timeout);
  void Close();
  void Reset();  // closes with a TCP reset
  void HalfClose();
  int fd() const;

 private:
  std::unique_ptr<host::Link> link_;
};

// ftmd, the bridge on a free port, and a connected test host.
struct LiveRun {
  LiveRun(const std::string& mode, const std::vector<std::string>& ftmdOptions = {"--type", "1"},
          const std::map<std::string, std::string>& bridgeEnv = {});
  Ftmd ftmd;
  Bridge bridge;
  std::unique_ptr<TestHost> host;
  bool ready = false;  // ftmd serving, the bridge listening, the host connected and seen connected
  std::string why;     // when not ready: which of those did not come, and what was printed
  // A run that does not get ready fails the test that made it.

 private:
  std::string Start();  // "" when ready, else why not
};

// The clean-up lines that end every run by the disconnect or stop path, in order.
extern const std::vector<std::string> kCleanUpLines;

// H4 packets from the test host.
Bytes Command(uint16_t opcode, const Bytes& params);
Bytes AclPacket(uint16_t handle, const Bytes& data);
Bytes ScoPacket(uint16_t handle, const Bytes& data);
// The FTM subsystem request that carries one H4 command (type byte first) in diag mode,
// framed as a test host sends it.
Bytes DiagHciRequest(const Bytes& command);

// Receives H4 packets until pred holds for one; the others are dropped. Empty on timeout.
Bytes ReceiveUntil(TestHost& host, const std::function<bool(const Bytes&)>& pred, int maxPackets = 1000);
bool IsCommandComplete(const Bytes& h4, uint16_t opcode);

// Opens a link in raw mode; returns its handle or 0xFFFF.
uint16_t OpenAclLink(TestHost& host);
uint16_t OpenScoLink(TestHost& host);

// Diag frames: escape, FCS, unescape and check.
Bytes EncodeFrame(const Bytes& packet, bool escape);
// Unescapes a received frame (with its closing flag) and checks its FCS; returns the
// packet without FCS, or sets ok false.
Bytes DecodeFrame(const Bytes& frame, bool* ok);

Bytes Hex(const std::string& text);  // "01 03 0c 00" -> bytes

// A log packet of diag mode: its code (0x1366 event, 0x1368 ACL, 0x1370 SCO) and the
// packet it carries, without its H4 type byte.
struct LogPacket {
  uint16_t code = 0;
  Bytes payload;
};
// Receives frames until a log packet arrives (of the given code, or of any code with 0);
// every frame must check. An empty packet on timeout.
LogPacket ReceiveLog(TestHost& host, uint16_t code, Millis timeout = Millis(5000));

// The full path of a program found on PATH, or "".
std::string FindProgram(const std::string& name);

// Gives this test process a /tmp of its own (a private mount namespace with a fresh tmpfs
// on /tmp), so that programs with fixed paths there cannot meet those of other tests.
// Returns "" or why it cannot be had. Call it before any thread is started.
std::string PrivateTmp();

// BlueZ's emulated controllers: `btvirt -s` answers on kBtvirtSocket, one fresh BR/EDR
// controller per connection; the controllers of one btvirt see each other over the air.
extern const char* const kBtvirtSocket;
// When the test ends, a btvirt that died of a signal fails it with a line of its own, as
// the emulator's crash (see btvirt_watch.h).
struct Btvirt {
  Btvirt();
  std::unique_ptr<Child> child;
  std::unique_ptr<tarnexio_test::BtvirtWatch> watch;  // goes before child
  bool ready = false;  // it listens on its socket
};
// The names in a directory, "." and hidden ones left out, sorted.
std::vector<std::string> NamesIn(const std::string& dir);

// A connection to btvirt's socket, or -1.
int ConnectUnix(const std::string& path);

// Copies bytes both ways between two descriptors on a thread of its own, until Stop() or
// until either side ends; then both are closed.
class Relay {
 public:
  Relay(int a, int b);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;
  void Stop();

 private:
  void Run();
  int a_, b_;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace e2e
