// Shared pieces of the fault, soak and hygiene tests: a connected run of the real
// binaries, H4 and diag request builders, and the resource figures of a process.
#pragma once

#include "harness.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace faults {

using e2e::Bytes;
using e2e::Millis;

// ftmd, the bridge on a free port, and a connected test host.
struct LiveRun {
  LiveRun(const std::string& mode, const std::vector<std::string>& ftmdOptions = {"--type", "1"});
  e2e::Ftmd ftmd;
  e2e::Bridge bridge;
  std::unique_ptr<e2e::TestHost> host;
  bool ready = false;  // listening, connected and seen connected
};

// The clean-up lines that end every run by the disconnect or stop path, in order.
extern const std::vector<std::string> kCleanUpLines;

// Resource figures of a process from /proc; -1 where unreadable.
struct ProcFigures {
  long rssKb = -1;
  long threads = -1;
  long fds = -1;
};
ProcFigures Figures(pid_t pid);

// True when this test binary (and so the binaries under test) carries a sanitizer, whose
// shadow memory and quarantine make resident memory a poor measure.
bool SanitizerBuild();
// The allowed growth of resident memory between two samples of a steady process.
long RssSlackKb();

// A count from the environment (for longer runs by hand), or the default.
int EnvCount(const char* name, int fallback);

// H4 packets from the test host.
Bytes Command(uint16_t opcode, const Bytes& params);
Bytes AclPacket(uint16_t handle, const Bytes& data);
Bytes ScoPacket(uint16_t handle, const Bytes& data);
// The FTM subsystem request that carries an HCI command in diag mode, framed.
Bytes DiagHciRequest(const Bytes& command);

// Receives H4 packets until pred holds for one; the others are dropped. Empty on timeout.
Bytes ReceiveUntil(e2e::TestHost& host, const std::function<bool(const Bytes&)>& pred, int maxPackets = 1000);
bool IsCommandComplete(const Bytes& h4, uint16_t opcode);

// Opens a link in raw mode; returns its handle or 0xFFFF.
uint16_t OpenAclLink(e2e::TestHost& host);
uint16_t OpenScoLink(e2e::TestHost& host);

}  // namespace faults
