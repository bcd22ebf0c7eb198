// Load: commands, ACL and SCO data through the bridge in raw mode and events in diag mode,
// each packet numbered; every one must come back once, whole and in order within its
// kind, while the bridge's memory, threads and descriptors stay flat. Counts come from
// the environment for longer runs by hand (TARNEXIO_SOAK_ROUNDS, TARNEXIO_SOAK_DIAG).
#include "fault_support.h"
#include "wait_until.h"
#include "wire/diag_packets.h"
#include "wire/hci.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace faults;

namespace {

Bytes Numbered(uint32_t n, size_t length, uint8_t fill) {
  Bytes b(length, fill);
  for (int i = 0; i < 4; ++i) b[i] = (uint8_t)(n >> (8 * i));
  return b;
}

uint32_t NumberAt(const Bytes& p, size_t at) {
  return p[at] | (p[at + 1] << 8) | (p[at + 2] << 16) | ((uint32_t)p[at + 3] << 24);
}

void ExpectFlat(const ProcFigures& before, const ProcFigures& after) {
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_LT(after.rssKb - before.rssKb, RssSlackKb()) << before.rssKb << " kB, then " << after.rssKb << " kB";
}

TEST(Soak, RawCommandsAclAndScoArriveOnceWholeAndInOrder) {
  const int rounds = EnvCount("TARNEXIO_SOAK_ROUNDS", 100);
  const int perRound = 200;  // of each kind
  const size_t aclLength = 120, scoLength = 24;
  LiveRun run("raw");
  ASSERT_TRUE(run.ready) << run.why;
  const uint16_t acl = OpenAclLink(*run.host);
  const uint16_t sco = OpenScoLink(*run.host);
  ASSERT_NE(acl, 0xFFFF);
  ASSERT_NE(sco, 0xFFFF);

  const int total = rounds * perRound;
  std::atomic<int> scoBack{0};
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (int i = 0; i < total && !stop; ++i) {
      run.host->Send(Command(0x1009, {}));
      run.host->Send(AclPacket(acl, Numbered((uint32_t)i, aclLength, 0x7E)));
      // SCO data is not held back by the driver: keep the packets in flight few.
      for (int w = 0; w < 2000 && i - scoBack.load() > 32 && !stop; ++w) std::this_thread::sleep_for(Millis(1));
      run.host->Send(ScoPacket(sco, Numbered((uint32_t)i, scoLength, 0x7D)));
    }
  });

  int answers = 0, aclNext = 0, scoNext = 0, wrong = 0;
  ProcFigures warm;
  while (answers < total || aclNext < total || scoNext < total) {
    Bytes p = run.host->ReceiveH4(Millis(10000));
    if (p.empty()) break;
    if (IsCommandComplete(p, 0x1009)) {
      if (p.size() != 13) ++wrong;
      ++answers;
    } else if (p[0] == 0x02) {
      if (p.size() != 5 + aclLength || NumberAt(p, 5) != (uint32_t)aclNext || p.back() != 0x7E) ++wrong;
      ++aclNext;
    } else if (p[0] == 0x03) {
      if (p.size() != 4 + scoLength || NumberAt(p, 4) != (uint32_t)scoNext || p.back() != 0x7D) ++wrong;
      scoBack = ++scoNext;
    }
    if (answers == total / 10) warm = Figures(run.bridge.child->pid());
  }
  stop = true;
  sender.join();
  ProcFigures end = Figures(run.bridge.child->pid());
  EXPECT_EQ(answers, total);
  EXPECT_EQ(aclNext, total);
  EXPECT_EQ(scoNext, total);
  EXPECT_EQ(wrong, 0);
  ExpectFlat(warm, end);
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
}

TEST(Soak, DiagEventsArriveOnceWholeAndInOrder) {
  const int requests = EnvCount("TARNEXIO_SOAK_DIAG", 3000);
  LiveRun run("diag");
  ASSERT_TRUE(run.ready) << run.why;
  ProcFigures warm;
  int inOrder = 0;
  for (int i = 0; i < requests; ++i) {
    // Create_Connection to an address that carries the request's number; its Connection
    // Complete event names that address.
    Bytes addr = Numbered((uint32_t)i, 6, 0x7E);
    Bytes params = addr;
    for (uint8_t b : {0x18, 0xCC, 0x01, 0x00, 0x00, 0x00, 0x01}) params.push_back(b);
    Bytes command = Command(0x0405, params);
    run.host->Send(DiagHciRequest(command));
    bool found = false;
    for (int f = 0; f < 10 && !found; ++f) {
      Bytes raw = run.host->ReceiveFrame(Millis(10000));
      if (raw.empty()) break;
      bool ok = false;
      Bytes frame = e2e::DecodeFrame(raw, &ok);
      // A log packet of an event holding Connection Complete (0x03, 11 bytes).
      LogPacketView log;
      if (!ok || ParseLogPacket(frame.data(), frame.size(), &log) != LOG_PACKET_OK || log.code != LOG_CODE_EVENT ||
          log.length != 13 || log.payload[0] != kEvConnectionComplete)
        continue;
      found = log.payload[2] == 0x00 && Bytes(log.payload + 5, log.payload + 11) == addr;
    }
    if (!found) break;
    ++inOrder;
    if (i == requests / 10) warm = Figures(run.bridge.child->pid());
  }
  EXPECT_EQ(inOrder, requests);
  ExpectFlat(warm, Figures(run.bridge.child->pid()));
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
}

// Resource hygiene: many runs of the bridge in a row against one ftmd.
TEST(Soak, ManyBridgeRunsAgainstOneDriverLeaveItFlat) {
  const int runs = EnvCount("TARNEXIO_HYGIENE_RUNS", 200);
  // Verbose: ftmd logs each connection it has closed, so its figures are taken only once
  // it has let go of the bridge that just ended (it sees the end a moment after the
  // bridge's exit, later still on a loaded machine).
  e2e::Ftmd ftmd({"--type", "1", "-v"});
  // ftmd prints a connection's close before it lets go of it and of its lanes: its
  // figures are read once its descriptors are back to those it had with no bridge
  // connected (waited for, bounded; a leak keeps them up and fails the comparison).
  const pid_t pid = ftmd.child->pid();
  const ProcFigures idle = Figures(pid);
  const auto settled = [pid](const ProcFigures& target) {
    ProcFigures now;
    WaitUntil([&] {
      now = Figures(pid);
      return now.fds == target.fds && now.threads == target.threads;
    });
    return now;
  };
  ProcFigures warm;
  int good = 0;
  for (int i = 0; i < runs; ++i) {
    e2e::Bridge bridge(ftmd.dir.path, i % 2 ? "diag" : "raw");
    if (!bridge.WaitListening()) break;
    {
      e2e::TestHost host(bridge.port);
      if (i % 2 == 0) {
        host.Send(Command(0x1009, {}));
        if (ReceiveUntil(host, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty()) break;
      } else {
        host.Send(e2e::EncodeFrame({0x00}, true));
        if (host.ReceiveFrame().empty()) break;
      }
    }
    if (bridge.child->WaitExit() != 0) break;
    if (!ftmd.child->WaitForCount(": closed with ", i + 1)) break;
    ++good;
    if (i == 9) warm = settled(idle);
  }
  EXPECT_EQ(good, runs);
  if (runs > 10) ExpectFlat(warm, settled(warm));
}

}  // namespace
