// A test host for the capture tests that keeps every HCI packet it sends and receives, and
// the traffic of one run: what the captures are checked against.
#pragma once

#include "capture_check.h"
#include "harness.h"
#include "wire/diag_packets.h"
#include "wire/version.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

// A test host that keeps every HCI packet it sends and receives, as H4 packets.
struct Recorder {
  TestHost* host;  // nullptr when the run did not start
  bool diag;
  std::vector<Bytes> sent;
  std::vector<Bytes> received;

  void Send(const Bytes& h4) {
    sent.push_back(h4);
    if (host != nullptr) host->Send(diag ? DiagHciRequest(h4) : h4);
  }
  // The next controller packet; empty on timeout. In diag mode the log packets are
  // unwrapped and every other frame is let go.
  Bytes Receive(Millis timeout = Millis(5000)) {
    if (host == nullptr) return {};
    for (;;) {
      Bytes packet;
      if (!diag) {
        packet = host->ReceiveH4(timeout);
      } else {
        const Bytes frame = host->ReceiveFrame(timeout);
        if (frame.empty()) return {};
        // The echo of a request is not escaped and holds the request's own flag: it
        // arrives in pieces that do not check. Log packets are escaped and always do.
        bool ok = false;
        const Bytes log = DecodeFrame(frame, &ok);
        LogPacketView view;
        if (!ok || ParseLogPacket(log.data(), log.size(), &view) != LOG_PACKET_OK) continue;
        packet = {view.h4Type};
        packet.insert(packet.end(), view.payload, view.payload + view.length);
      }
      if (!packet.empty()) received.push_back(packet);
      return packet;
    }
  }
  // Each receive is bounded in time; the count only bounds a link that never goes quiet.
  // A long stream of one reader may still have many packets of another reader behind it
  // (Number of Completed Packets events behind thousands of ACL packets).
  Bytes ReceiveUntil(const std::function<bool(const Bytes&)>& pred) {
    for (int i = 0; i < 100000; ++i) {
      Bytes p = Receive();
      if (p.empty() || pred(p)) return p;
    }
    return {};
  }
  Bytes ReceiveEvent(uint8_t code) {
    return ReceiveUntil([code](const Bytes& p) { return p[0] == 0x04 && p[1] == code; });
  }
  // How many ACL packets came, up to `expected`; stops at the first wait that ends empty.
  int ReceiveAcls(int expected) {
    int acls = 0;
    while (acls < expected) {
      const Bytes p = Receive();
      if (p.empty()) break;
      acls += p[0] == 0x02;
    }
    return acls;
  }
  // Receives until `acls` more ACL packets and `completes` more Command Completes of
  // `opcode` have come, however far apart (each wait bounded); the packets of two reader
  // threads come in any order, so both counts are waited for. A failure names what was
  // still missing.
  ::testing::AssertionResult ReceiveAll(size_t acls, uint16_t opcode, size_t completes) {
    size_t gotAcls = 0, gotCompletes = 0;
    while (gotAcls < acls || gotCompletes < completes) {
      const Bytes p = Receive();
      if (p.empty()) {
        return ::testing::AssertionFailure()
               << "waited for " << acls << " ACL packets and " << completes << " Command Completes of opcode "
               << opcode << "; " << gotAcls << " and " << gotCompletes << " came";
      }
      gotAcls += p[0] == 0x02;
      gotCompletes += IsCommandComplete(p, opcode);
    }
    return ::testing::AssertionSuccess();
  }
  // Opens an ACL link; its handle, or 0xFFFF.
  uint16_t OpenAcl() {
    Send(Hex("01 05 04 0d 11 22 33 44 55 66 18 cc 01 00 00 00 01"));
    const Bytes done = ReceiveEvent(0x03);
    return done.size() >= 6 && done[3] == 0 ? uint16_t(done[4] | done[5] << 8) : 0xFFFF;
  }
  // Takes what is still on its way until the link has been quiet for a while: for packets
  // that may or may not come, once those that must have been waited for.
  void Drain() {
    while (!Receive(Millis(300)).empty()) {
    }
  }
  // The summary line these packets make; with a capture, all of it up to the file's name.
  std::string Summary(const std::string& drops, bool captured = false) const {
    unsigned long long kinds[6] = {}, bytes[2] = {};
    for (const Bytes& p : sent) {
      kinds[p[0] == 0x01 ? 0 : p[0] == 0x02 ? 2 : 4]++;
      bytes[0] += p.size();
    }
    for (const Bytes& p : received) {
      kinds[p[0] == 0x04 ? 1 : p[0] == 0x02 ? 3 : 5]++;
      bytes[1] += p.size();
    }
    return "BTFTM : Run summary: commands " + std::to_string(kinds[0]) + ", events " + std::to_string(kinds[1]) +
           ", ACL to controller " + std::to_string(kinds[2]) + ", ACL from controller " + std::to_string(kinds[3]) +
           ", SCO to controller " + std::to_string(kinds[4]) + ", SCO from controller " + std::to_string(kinds[5]) +
           ", bytes to controller " + std::to_string(bytes[0]) + ", bytes from controller " +
           std::to_string(bytes[1]) + "; dropped: " + drops + "; Tarnexio version " + TarnexioVersion() +
           (captured ? "; capture " : "\n");
  }
};

// The packets of one H4 type, in their order. Packets of different reader threads may be
// captured in one order and sent in the other; those of one type never are.
inline std::vector<Bytes> OfType(const std::vector<Bytes>& packets, uint8_t type) {
  std::vector<Bytes> out;
  for (const Bytes& p : packets)
    if (p[0] == type) out.push_back(p);
  return out;
}

// The controller's packets in a capture match what the test host received, type by type.
inline void ExpectReceived(const tarnexio_test::Capture& capture, const std::vector<Bytes>& received, const std::string& file) {
  const std::vector<Bytes> captured = tarnexio_test::PacketsGoing(capture, BTSNOOP_FROM_CONTROLLER);
  EXPECT_EQ(captured.size(), received.size()) << file;
  for (uint8_t type : {0x02, 0x03, 0x04}) EXPECT_EQ(OfType(captured, type), OfType(received, type)) << file;
}

inline const char* const kNoDrops =
    "oversized 0, malformed 0, short reply 0, unknown type 0, no frame end 0, not sent 0, no memory 0";

inline Bytes AclOf(uint16_t handle, int sequence, size_t length) {
  Bytes p = {0x02, uint8_t(handle), uint8_t(handle >> 8), uint8_t(length), uint8_t(length >> 8)};
  for (size_t i = 0; i < length; ++i) p.push_back(uint8_t(sequence + i));
  return p;
}

// The traffic of one run: commands and their events for every driver type; ACL data each
// way for a type 1 driver (looped back in raw mode, made by the controller in diag mode,
// where the test host sends no data); SCO each way in raw mode.
inline void Exchange(Recorder& r, int driverType) {
  r.Send(Hex("01 03 0c 00"));
  ASSERT_FALSE(r.ReceiveEvent(0x0E).empty());
  r.Send(Hex("01 09 10 00"));
  ASSERT_FALSE(r.ReceiveEvent(0x0E).empty());
  if (driverType == 2) return;
  const uint16_t acl = r.OpenAcl();
  ASSERT_NE(acl, 0xFFFF);
  if (r.diag) {
    // The controller's vendor command sends data on the link: 2 packets of 16 bytes of 7D.
    r.Send({0x01, 0x01, 0xFC, 0x07, uint8_t(acl), uint8_t(acl >> 8), 2, 0, 16, 0, 0x7D});
    for (int i = 0; i < 2; ++i) ASSERT_FALSE(r.ReceiveUntil([](const Bytes& p) { return p[0] == 0x02; }).empty());
    return;
  }
  for (int i = 0; i < 3; ++i) {
    r.Send(AclOf(acl, i, size_t(10 + 300 * i)));
    ASSERT_FALSE(r.ReceiveUntil([](const Bytes& p) { return p[0] == 0x02; }).empty());
  }
  Bytes setup = Hex("01 28 04 11 00 00 40 1f 00 00 40 1f 00 00 ff ff 60 00 ff 3f 00");
  setup[4] = uint8_t(acl), setup[5] = uint8_t(acl >> 8);
  r.Send(setup);
  const Bytes sco = r.ReceiveEvent(0x2C);
  ASSERT_GE(sco.size(), 6u);
  Bytes data = {0x03, sco[4], sco[5], 48};
  data.resize(4 + 48, 0x5C);
  r.Send(data);
  ASSERT_FALSE(r.ReceiveUntil([](const Bytes& p) { return p[0] == 0x03; }).empty());
}

}  // namespace e2e
