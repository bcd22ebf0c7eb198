// The load generator: plays the test host on one loopback connection (to the bridge or to
// the relay in front of the controller's H4 port) and prints "key value" lines.
//
//   tarnexio_loadgen freeport
//   tarnexio_loadgen raw-cmd PORT COUNT [PIDS [SAMPLES]]   Read_BD_ADDR round trips, one at a time
//   tarnexio_loadgen diag-cmd PORT COUNT [PIDS]            the same inside FTM HCI requests (diag mode)
//   tarnexio_loadgen acl PORT BYTES WINDOW [PIDS]          ACL loopback on an open link
//   tarnexio_loadgen idle PORT SECONDS PIDS                CPU time while connected and quiet
//   tarnexio_loadgen restart PORT HOSTS                    one test host after another: from
//                                                          one's close to the next one's answer
//   tarnexio_loadgen report FILE                           the table from collected result lines
//
// PIDS is one process id or several joined by commas (the relay or bridge first, then the
// controller's server): their summed CPU time and context switches over the timed part are
// printed, and the first one's peak resident memory. SAMPLES names a file that receives
// every round trip in microseconds, one a line.
#include "loadgen_net.h"

#include "link.h"
#include "wire/diag_frame.h"
#include "wire/diag_packets.h"
#include "wire/hci.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace loadgen {
int Report(const char* path);
}

using namespace loadgen;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

// The test host's connection, as the modes below use it.
class Link {
 public:
  Link(int port, int timeoutMs, int retryMs = 20) { link_.ConnectLoopback(port, (uint32_t)timeoutMs, (uint32_t)retryMs); }
  bool connected() const { return link_.connected(); }
  bool Send(const Bytes& bytes) { return link_.Send(bytes.data(), bytes.size()); }
  // One H4 packet; false on timeout, close or a byte that starts no packet.
  bool ReceiveH4(Bytes* packet, int timeoutMs) {
    return link_.ReceiveH4(packet, (uint32_t)timeoutMs) == host::Link::H4Got::PACKET;
  }
  bool ReceiveFrame(Bytes* frame, int timeoutMs) { return link_.ReceiveFrame(frame, (uint32_t)timeoutMs); }

 private:
  host::Link link_;
};

enum { RECEIVE_TIMEOUT_MS = 5000, CONNECT_TIMEOUT_MS = 5000, ACL_DATA = 1021 };

const Bytes kReadBdAddr = {0x01, 0x09, 0x10, 0x00};

int Fail(const char* what) {
  std::fprintf(stderr, "tarnexio_loadgen: %s\n", what);
  return 1;
}

// Watches the CPU time and context switches of some processes over the timed part of a run.
struct CpuWatch {
  std::vector<int> pids;
  long long nanoseconds = -1;
  long long switches = -1;
  explicit CpuWatch(const std::vector<int>& processIds) : pids(processIds) {
    nanoseconds = Sum(CpuNanoseconds);
    switches = Sum(ContextSwitches);
  }
  long long Sum(long long (*read)(int)) const {
    if (pids.empty()) return -1;
    long long total = 0;
    for (int pid : pids) {
      long long value = read(pid);
      if (value < 0) return -1;
      total += value;
    }
    return total;
  }
};

// Prints the CPU time and context switches per unit of work (count units), and the first
// process's peak memory.
void PrintProcess(const CpuWatch& watch, const std::string& prefix, const char* unit, double count) {
  if (watch.pids.empty()) return;
  long long nanoseconds = watch.Sum(CpuNanoseconds);
  long long switches = watch.Sum(ContextSwitches);
  if (watch.nanoseconds >= 0 && nanoseconds >= 0) {
    std::printf("%scpu_us_per_%s %.2f\n", prefix.c_str(), unit, (double)(nanoseconds - watch.nanoseconds) / 1e3 / count);
  }
  if (watch.switches >= 0 && switches >= 0) {
    std::printf("%sctx_per_%s %.2f\n", prefix.c_str(), unit, (double)(switches - watch.switches) / count);
  }
  long long peak = PeakResidentKiB(watch.pids.front());
  if (peak >= 0) std::printf("peak_kib %lld\n", peak);
}

void PrintLatencies(std::vector<double>* micros, const char* samplesPath) {
  if (samplesPath != nullptr) {
    FILE* out = std::fopen(samplesPath, "a");
    if (out == nullptr) {
      std::fprintf(stderr, "tarnexio_loadgen: cannot write %s\n", samplesPath);
    } else {
      for (double us : *micros) std::fprintf(out, "%.2f\n", us);
      std::fclose(out);
    }
  }
  std::sort(micros->begin(), micros->end());
  const size_t n = micros->size();
  std::printf("rtt_median_us %.1f\n", (*micros)[n / 2]);
  std::printf("rtt_p99_us %.1f\n", (*micros)[std::min(n - 1, n * 99 / 100)]);
}

bool IsReadBdAddrComplete(const uint8_t* event, size_t length) {
  // 0E len, number of packets, opcode 09 10, status 00, six address bytes
  return length >= 7 && event[0] == kEvCommandComplete && (event[3] | event[4] << 8) == kOpReadBdAddr &&
         event[5] == 0x00;
}

// Runs count timed round trips after a short warm-up; exchange does one and says if it worked.
template <typename Exchange>
int TimeRoundTrips(int count, const std::vector<int>& pids, const char* samplesPath, Exchange exchange) {
  const int warmUp = std::min(100, count / 10);
  for (int i = 0; i < warmUp; ++i) {
    if (!exchange()) return Fail("no answer during the warm-up");
  }
  std::vector<double> micros;
  micros.reserve((size_t)count);
  CpuWatch watch(pids);
  for (int i = 0; i < count; ++i) {
    auto begin = Clock::now();
    if (!exchange()) return Fail("a command got no answer");
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }
  PrintLatencies(&micros, samplesPath);
  PrintProcess(watch, "", "cmd", count);
  return 0;
}

int RawCommands(Link& link, int count, const std::vector<int>& pids, const char* samplesPath) {
  Bytes packet;
  return TimeRoundTrips(count, pids, samplesPath, [&]() {
    if (!link.Send(kReadBdAddr)) return false;
    for (;;) {  // anything else the controller says first is let by
      if (!link.ReceiveH4(&packet, RECEIVE_TIMEOUT_MS)) return false;
      if (packet[0] == H4_EVENT && IsReadBdAddrComplete(packet.data() + 1, packet.size() - 1)) return true;
    }
  });
}

// The FTM HCI request that carries one H4 command, as a frame.
Bytes FtmHciRequest(const Bytes& command) {
  const Bytes request = BuildFtmHciRequest(command.data(), command.size());
  Bytes frame(2 * (request.size() + DIAG_FCS_SIZE) + 1);
  frame.resize((size_t)EncodeDiagFrame(request.data(), (int)request.size(), 1, frame.data(), (int)frame.size()));
  return frame;
}

int DiagCommands(Link& link, int count, const std::vector<int>& pids) {
  const Bytes request = FtmHciRequest(kReadBdAddr);
  Bytes frame, packet(64);
  LogPacketView log;
  return TimeRoundTrips(count, pids, nullptr, [&]() {
    if (!link.Send(request)) return false;
    for (;;) {  // the echo of the request comes too; the log packet of the event ends the wait
      if (!link.ReceiveFrame(&frame, RECEIVE_TIMEOUT_MS)) return false;
      if (frame.size() > packet.size()) packet.resize(frame.size());
      int length = 0;
      if (DecodeDiagFrame(frame.data(), (int)frame.size(), packet.data(), &length) != DIAG_FRAME_OK) continue;
      if (ParseLogPacket(packet.data(), (size_t)length, &log) != LOG_PACKET_OK || log.code != LOG_CODE_EVENT) continue;
      if (IsReadBdAddrComplete(log.payload, log.length)) return true;
    }
  });
}

// Opens an ACL link and returns its handle, or -1.
int OpenAclLink(Link& link) {
  const Bytes create = {0x01, 0x05, 0x04, 0x0D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                        0x18, 0xCC, 0x01, 0x00, 0x00, 0x00, 0x01};
  if (!link.Send(create)) return -1;
  Bytes packet;
  while (link.ReceiveH4(&packet, RECEIVE_TIMEOUT_MS)) {
    if (packet[0] == H4_EVENT && packet[1] == kEvConnectionComplete && packet.size() >= 6) {
      return packet[3] == 0 ? (packet[4] | (packet[5] << 8)) & 0x0FFF : -1;
    }
  }
  return -1;
}

int AclLoopback(Link& link, long long bytes, int window, const std::vector<int>& pids) {
  const int handle = OpenAclLink(link);
  if (handle < 0) return Fail("no ACL link could be opened");
  Bytes packet = {0x02, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), ACL_DATA & 0xFF, ACL_DATA >> 8};
  for (int i = 0; i < ACL_DATA; ++i) packet.push_back((uint8_t)i);
  const long long total = (bytes + ACL_DATA - 1) / ACL_DATA;

  CpuWatch watch(pids);
  const auto begin = Clock::now();
  long long sent = 0, echoed = 0;
  Bytes in;
  while (echoed < total) {
    while (sent < total && sent - echoed < window) {
      if (!link.Send(packet)) return Fail("the ACL link closed");
      ++sent;
    }
    if (!link.ReceiveH4(&in, RECEIVE_TIMEOUT_MS)) return Fail("an ACL packet did not come back");
    if (in[0] != H4_ACL) continue;  // Number_Of_Completed_Packets and other events
    if (in.size() != packet.size() || ((in[1] | (in[2] << 8)) & 0x0FFF) != handle) {
      return Fail("an ACL packet came back changed");
    }
    ++echoed;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const std::string prefix = "acl_w" + std::to_string(window) + "_";
  std::printf("%smb_s %.2f\n", prefix.c_str(), (double)(total * ACL_DATA) / seconds / 1e6);
  PrintProcess(watch, prefix, "packet", (double)total);
  return 0;
}

int Idle(Link& link, int seconds, const std::vector<int>& pids) {
  // One command first, so that the whole path is up before the quiet part.
  Bytes packet;
  if (!link.Send(kReadBdAddr) || !link.ReceiveH4(&packet, RECEIVE_TIMEOUT_MS)) return Fail("no answer");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  CpuWatch watch(std::vector<int>(pids.begin(), pids.begin() + 1));
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long long nanoseconds = watch.Sum(CpuNanoseconds);
  if (watch.nanoseconds >= 0 && nanoseconds >= 0) {
    std::printf("idle_cpu_ms %.3f\n", (double)(nanoseconds - watch.nanoseconds) / 1e6);
  }
  return 0;
}

// HOSTS test hosts one after another, each sending one Read_BD_ADDR and leaving once it is
// answered, against a launcher that starts the bridge again for each. The time from one
// host's close to the next one's Command Complete (connect attempts every millisecond)
// is the wait a bench sees between two test hosts. A connection the system accepted for a
// bridge that is ending (its listening socket still open) is closed without an answer;
// the host then tries again, as a bench would, and the wait goes on.
bool AnsweredOnce(int port) {
  Link link(port, 20000, 1);
  Bytes packet;
  if (!link.connected() || !link.Send(kReadBdAddr)) return false;
  do {
    if (!link.ReceiveH4(&packet, RECEIVE_TIMEOUT_MS)) return false;
  } while (packet[0] != 0x04 || !IsReadBdAddrComplete(packet.data() + 1, packet.size() - 1));
  return true;  // the link closes as it goes out of scope
}

int Restarts(int port, int hosts) {
  std::vector<double> millis;
  Clock::time_point left;
  int attempts = 0;
  for (int i = 0; i < hosts; ++i) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!AnsweredOnce(port)) {
      ++attempts;
      if (Clock::now() >= deadline) return Fail("no bridge answered a test host within 20 s");
    }
    if (i > 0) millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - left).count());
    left = Clock::now();
  }
  std::printf("restart_failed_attempts %d\n", attempts);
  if (millis.empty()) return Fail("restart needs at least two hosts");
  std::sort(millis.begin(), millis.end());
  std::printf("restart_median_ms %.2f\n", millis[millis.size() / 2]);
  std::printf("restart_max_ms %.2f\n", millis.back());
  return 0;
}

int Number(const char* text) { return std::atoi(text); }

// "PID[,PID...]" as numbers; empty when absent.
std::vector<int> Pids(int argc, char** argv, int index) {
  std::vector<int> pids;
  if (index >= argc) return pids;
  for (const char* p = argv[index]; *p != '\0';) {
    char* end = nullptr;
    long pid = std::strtol(p, &end, 10);
    if (end == p) break;
    if (pid > 0) pids.push_back((int)pid);
    p = *end == ',' ? end + 1 : end;
  }
  return pids;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "freeport") == 0) {
    int port = FreePort();
    if (port < 0) return Fail("no free port");
    std::printf("%d\n", port);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "report") == 0) return Report(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "restart") == 0) return Restarts(Number(argv[2]), Number(argv[3]));
  if (argc < 4) return Fail("usage: see the head of bench/loadgen.cpp");

  const std::string mode = argv[1];
  Link link(Number(argv[2]), CONNECT_TIMEOUT_MS);
  if (!link.connected()) return Fail("cannot connect");
  int rc;
  if (mode == "raw-cmd") {
    rc = RawCommands(link, Number(argv[3]), Pids(argc, argv, 4), argc > 5 ? argv[5] : nullptr);
  } else if (mode == "diag-cmd") {
    rc = DiagCommands(link, Number(argv[3]), Pids(argc, argv, 4));
  } else if (mode == "acl" && argc >= 5) {
    rc = AclLoopback(link, std::atoll(argv[3]), Number(argv[4]), Pids(argc, argv, 5));
  } else if (mode == "idle" && argc == 5 && !Pids(argc, argv, 4).empty()) {
    rc = Idle(link, Number(argv[3]), Pids(argc, argv, 4));
  } else {
    return Fail("unknown mode");
  }
  std::fflush(stdout);
  return rc;
}
