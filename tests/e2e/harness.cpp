#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link.h"
#include "requests.h"
#include "wire/diag_frame.h"
#include "wire/diag_packets.h"
#include "wire/h4.h"
#include "wire/hci.h"

namespace e2e {

using Clock = std::chrono::steady_clock;

std::string BridgeBinary() { return TARNEXIO_BIN; }
std::string FtmdBinary() { return FTMD_BIN; }

namespace {

// A process of a run that is still there when its test ends is asked to stop the way it is
// stopped on a bench, and given a moment before it is killed. Under Wine, Wine's own server
// once failed an assertion in its socket code just after such a kill, taking the test
// driver's host with it, so that every later test failed to open the driver; a process
// killed in the middle of its clean-up is the likely trigger.
void StopAtTheEnd(Child* child, int sig) {
  if (child == nullptr || !child->Running()) return;
  child->Signal(sig);
  child->WaitExit(Millis(3000));  // killed by the child's own end when it has not gone by then
}

}  // namespace

Ftmd::~Ftmd() { StopAtTheEnd(child.get(), SIGTERM); }

Bridge::~Bridge() { StopAtTheEnd(child.get(), SIGINT); }

Ftmd::Ftmd(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {FtmdBinary(), "--dir", dir.path};
  argv.insert(argv.end(), options.begin(), options.end());
  for (const std::string& o : tarnexio_test::FtmdBehaviourOptions()) argv.push_back(o);
  child = std::make_unique<Child>(argv, std::map<std::string, std::string>{});
  ready = child->WaitForOutput(" serving ");
}

Bridge::Bridge(const std::string& deviceDir, const std::string& mode, int givenPort,
               const std::map<std::string, std::string>& env)
    : port(givenPort), deviceDir_(deviceDir), mode_(mode), env_(env), portChosen_(givenPort == 0) {
  if (portChosen_) port = FreePort();
  Start();
}

void Bridge::Start() {
  std::map<std::string, std::string> all = env_;
  all["TARNEXIO_DEVICE_DIR"] = deviceDir_;
  child.reset();
  child = std::make_unique<Child>(std::vector<std::string>{BridgeBinary(), "-p", std::to_string(port), "-m", mode_}, all);
}

::testing::AssertionResult Bridge::WaitListening(Millis timeout) {
  for (;;) {
    ::testing::AssertionResult listening =
        child->WaitForOutput("BTFTM : Waiting for incoming Ethernet connections... \n", timeout);
    // Only the bridge's own line for a port in use, on a port this harness chose, is worth
    // another start; anything else is the failure it is.
    if (listening || !portChosen_ || !tarnexio_test::SaysPortInUse(child->Output(), port)) return listening;
    if (portRetries == kPortRetries) return listening << " (port taken " << portRetries + 1 << " times in a row)";
    ++portRetries;
    const int taken = port;
    child->WaitExit(Millis(10000));
    port = FreePort();
    std::fprintf(stderr, "harness: port %d was taken before the bridge listened on it; starting it again on port %d\n",
                 taken, port);
    ::testing::Test::RecordProperty("bridge_port_retries", portRetries);
    Start();
  }
}

namespace {

// The link's waits in milliseconds, scaled by the tests' time scale.
uint32_t Ms(Millis timeout) { return timeout.count() < 0 ? 0 : (uint32_t)tarnexio_test::Scaled(timeout).count(); }

}  // namespace

TestHost::TestHost(int port, Millis timeout) : link_(std::make_unique<host::Link>()) {
  // The children the tests start later must not hold the connection open.
  if (link_->ConnectLoopback(port, Ms(timeout))) fcntl(link_->socket(), F_SETFD, FD_CLOEXEC);
}

TestHost::~TestHost() = default;

bool TestHost::connected() const { return link_->connected(); }

void TestHost::Send(const Bytes& bytes) { link_->Send(bytes.data(), bytes.size()); }

Bytes TestHost::Receive(size_t n, Millis timeout) { return link_->ReceiveBytes(n, Ms(timeout)); }

Bytes TestHost::ReceiveH4(Millis timeout) {
  Bytes packet;
  return link_->ReceiveH4(&packet, Ms(timeout)) == host::Link::H4Got::NOTHING ? Bytes{} : packet;
}

Bytes TestHost::ReceiveFrame(Millis timeout) {
  Bytes frame;
  return link_->ReceiveFrame(&frame, Ms(timeout)) ? frame : Bytes{};
}

bool TestHost::Quiet(Millis timeout) { return link_->Quiet(Ms(timeout)); }

void TestHost::Close() { link_->Close(); }

void TestHost::Reset() { link_->Reset(); }

void TestHost::HalfClose() { link_->HalfClose(); }

int TestHost::fd() const { return link_->socket(); }

const std::vector<std::string> kCleanUpLines = {"BTFTM : Cleaning all resources\n", "BTFTM : All resources are freed\n",
                                                "BTFTM : Coming out of main loop\n"};

LiveRun::LiveRun(const std::string& mode, const std::vector<std::string>& ftmdOptions,
                 const std::map<std::string, std::string>& bridgeEnv)
    : ftmd(ftmdOptions), bridge(ftmd.dir.path, mode, 0, bridgeEnv) {
  why = Start();
  ready = why.empty();
  if (ready) return;
  // A run that did not get ready fails its test here, whether or not the test looks at
  // ready, and still has a test host (unconnected: its sends fail, its receives come back
  // empty), so that a test going on does not bring the whole test program down.
  ADD_FAILURE() << "the run did not get ready: " << why;
  if (host == nullptr) host = std::make_unique<TestHost>(bridge.port, Millis(0));
}

std::string LiveRun::Start() {
  // Each step waits for its own condition; the first that does not come is named.
  if (!ftmd.ready) return "ftmd did not say it was serving; it printed: " + ftmd.child->Output();
  ::testing::AssertionResult listening = bridge.WaitListening();
  if (!listening) return listening.message();
  host = std::make_unique<TestHost>(bridge.port);
  if (!host->connected()) return "the test host could not connect to port " + std::to_string(bridge.port);
  ::testing::AssertionResult connected = bridge.child->WaitForOutput("BTFTM : Ethernet Connected!\n");
  return connected ? "" : connected.message();
}

Bytes Command(uint16_t opcode, const Bytes& params) { return host::RawCommand(opcode, params); }

Bytes AclPacket(uint16_t handle, const Bytes& data) {
  Bytes b = {0x02, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), (uint8_t)(data.size() & 0xFF),
             (uint8_t)(data.size() >> 8)};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes ScoPacket(uint16_t handle, const Bytes& data) {
  Bytes b = {0x03, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), (uint8_t)data.size()};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes DiagHciRequest(const Bytes& command) { return EncodeFrame(BuildFtmHciRequest(command.data(), command.size()), true); }

Bytes ReceiveUntil(TestHost& host, const std::function<bool(const Bytes&)>& pred, int maxPackets) {
  for (int i = 0; i < maxPackets; ++i) {
    Bytes p = host.ReceiveH4();
    if (p.empty()) return {};
    if (pred(p)) return p;
  }
  return {};
}

bool IsCommandComplete(const Bytes& p, uint16_t opcode) {
  return p.size() >= 7 && p[0] == H4_EVENT && p[1] == kEvCommandComplete && p[4] == (opcode & 0xFF) && p[5] == (opcode >> 8);
}

static uint16_t OpenLink(TestHost& host, const Bytes& command, uint8_t completeEvent) {
  host.Send(command);
  Bytes done = ReceiveUntil(host, [&](const Bytes& p) { return p[0] == H4_EVENT && p[1] == completeEvent; });
  if (done.size() < 6 || done[3] != 0) return 0xFFFF;
  return (uint16_t)(done[4] | (done[5] << 8));
}

uint16_t OpenAclLink(TestHost& host) {
  return OpenLink(host, Hex("01 05 04 0d 11 22 33 44 55 66 18 cc 01 00 00 00 01"), kEvConnectionComplete);
}

uint16_t OpenScoLink(TestHost& host) {
  return OpenLink(host, Hex("01 28 04 11 01 00 40 1f 00 00 40 1f 00 00 ff ff 60 00 ff 3f 00"), kEvSyncConnectionComplete);
}

Bytes EncodeFrame(const Bytes& packet, bool escape) {
  Bytes frame(2 * (packet.size() + DIAG_FCS_SIZE) + 1);
  const int n = EncodeDiagFrame(packet.data(), (int)packet.size(), escape ? 1 : 0, frame.data(), (int)frame.size());
  frame.resize(n < 0 ? 0 : (size_t)n);
  return frame;
}

Bytes DecodeFrame(const Bytes& frame, bool* ok) {
  Bytes packet(frame.size());
  int length = 0;
  *ok = DecodeDiagFrame(frame.data(), (int)frame.size(), packet.data(), &length) == DIAG_FRAME_OK;
  packet.resize((size_t)length);
  return packet;
}

Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back((uint8_t)std::stoi(text.substr(i, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

}  // namespace e2e

namespace e2e {

LogPacket ReceiveLog(TestHost& host, uint16_t code, Millis timeout) {
  for (int i = 0; i < 100; ++i) {
    Bytes frame = host.ReceiveFrame(timeout);
    if (frame.empty()) break;
    // Not a log packet: the echo of a request (its block as it came, with the request's
    // own flag inside) is checked by the test that sent the request.
    if (frame[0] != kDiagLog) continue;
    bool ok = false;
    Bytes packet = DecodeFrame(frame, &ok);
    EXPECT_TRUE(ok) << "FCS of a frame from the bridge";
    LogPacketView view;
    if (!ok) continue;
    EXPECT_EQ(ParseLogPacket(packet.data(), packet.size(), &view), LOG_PACKET_OK) << "log packet header";
    LogPacket log{view.code, Bytes(view.payload, view.payload + view.length)};
    if (view.payload != nullptr && (code == 0 || log.code == code)) return log;
  }
  return {};
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t from = 0; from <= dirs.size();) {
    size_t colon = dirs.find(':', from);
    if (colon == std::string::npos) colon = dirs.size();
    std::string full = dirs.substr(from, colon - from) + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
    from = colon + 1;
  }
  return "";
}

std::string PrivateTmp() {
  if (unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace of its own: ") + std::strerror(errno);
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("cannot make the mounts private: ") + std::strerror(errno);
  // The old /tmp stays reachable at a side path, so that programs under test that live
  // below /tmp (a build tree there) are mounted back in sight under the new one.
  char side[] = "/run/tarnexio-oldtmp.XXXXXX";
  if (mkdtemp(side) == nullptr || mount("/tmp", side, nullptr, MS_BIND | MS_REC, nullptr) != 0)
    return std::string("cannot keep the old /tmp in sight: ") + std::strerror(errno);
  std::string error;
  if (mount("tarnexio-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0)
    error = std::string("cannot mount a private /tmp: ") + std::strerror(errno);
  for (const std::string& bin : {FtmdBinary(), BridgeBinary()}) {
    if (!error.empty() || bin.rfind("/tmp/", 0) != 0) continue;
    const std::string top = bin.substr(5, bin.find('/', 5) - 5);
    const std::string from = std::string(side) + "/" + top, to = "/tmp/" + top;
    if ((mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) ||
        mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      error = "cannot keep " + to + " in sight: " + std::strerror(errno);
  }
  umount2(side, MNT_DETACH);
  rmdir(side);
  return error;
}

const char* const kBtvirtSocket = "/tmp/bt-server-bredr";

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int ConnectUnix(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, (sockaddr*)&addr, sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

Btvirt::Btvirt() {
  child = std::make_unique<Child>(std::vector<std::string>{FindProgram("btvirt"), "-s"},
                                  std::map<std::string, std::string>{});
  watch = std::make_unique<tarnexio_test::BtvirtWatch>(*child);
  // Ready once it listens on its socket (the file appears at bind, before listen); told
  // from /proc, since a probe connection would use up a controller.
  auto deadline = Clock::now() + tarnexio_test::Scaled(Millis(10000));
  while (!ready && Clock::now() < deadline && child->Running()) {
    ready = tarnexio_test::ListensOnUnixSocket(child->pid(), kBtvirtSocket);
    if (!ready) std::this_thread::sleep_for(Millis(10));
  }
}

Relay::Relay(int a, int b) : a_(a), b_(b) {
  if (pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
  thread_ = std::thread([this] { Run(); });
}

Relay::~Relay() {
  Stop();
  if (thread_.joinable()) thread_.join();
  for (int fd : {stop_[0], stop_[1]})
    if (fd >= 0) close(fd);
}

void Relay::Stop() {
  if (stop_[1] >= 0) {
    char c = 0;
    (void)!write(stop_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
}

void Relay::Run() {
  uint8_t buf[4096];
  for (;;) {
    pollfd p[3] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[2].revents) break;
    bool ended = false;
    for (int i = 0; i < 2 && !ended; ++i) {
      if (!p[i].revents) continue;
      ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        ended = true;
        break;
      }
      const int to = i == 0 ? b_ : a_;
      for (ssize_t off = 0; off < n && !ended;) {
        ssize_t w = write(to, buf + off, (size_t)(n - off));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ended = true;
        off += w;
      }
    }
    if (ended) break;
  }
  close(a_);
  close(b_);
}

}  // namespace e2e
