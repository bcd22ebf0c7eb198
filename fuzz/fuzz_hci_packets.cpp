// The typed views of HCI packets over any bytes: a view is taken only when all its fields
// lie inside the bytes, and each field is the one at its place. The bytes live in a
// buffer of exactly their size, so a read past them is the sanitizer's finding.
#include "fuzz_support.h"
#include "wire/hci_packets.h"

#include <memory>

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

void CheckEvent(const uint8_t* p, size_t n) {
  HciEvent event;
  if (!ReadHciEvent(p, n, &event)) {
    FuzzCheck(n < 2 || p[1] + 2u > n, "a whole event refused");
    return;
  }
  FuzzCheck(n >= 2 && event.code == p[0] && event.paramLength == p[1] && event.params == p + 2 &&
                event.paramLength + 2u <= n,
            "an event read outside its bytes");
  const uint8_t* q = event.params;
  const size_t have = event.paramLength;

  ConnectionComplete c;
  const bool isConnection = p[0] == kEvConnectionComplete && have >= 11;
  FuzzCheck(ReadConnectionComplete(event, &c) == isConnection, "Connection Complete taken wrongly");
  if (isConnection)
    FuzzCheck(c.status == q[0] && c.handle == Le16(q + 1) && c.peerAddress == q + 3 && c.linkType == q[9] &&
                  c.encryptionEnabled == q[10],
              "Connection Complete fields");

  SyncConnectionComplete s;
  const bool isSync = p[0] == kEvSyncConnectionComplete && have >= 17;
  FuzzCheck(ReadSyncConnectionComplete(event, &s) == isSync, "Synchronous Connection Complete taken wrongly");
  if (isSync)
    FuzzCheck(s.status == q[0] && s.handle == Le16(q + 1) && s.linkType == q[9] && s.rxPacketLength == Le16(q + 12) &&
                  s.txPacketLength == Le16(q + 14) && s.airMode == q[16],
              "Synchronous Connection Complete fields");

  DisconnectionComplete d;
  const bool isEnd = p[0] == kEvDisconnectionComplete && have >= 4;
  FuzzCheck(ReadDisconnectionComplete(event, &d) == isEnd, "Disconnection Complete taken wrongly");
  if (isEnd) FuzzCheck(d.status == q[0] && d.handle == Le16(q + 1) && d.reason == q[3], "Disconnection Complete fields");

  CommandComplete cc;
  const bool isComplete = p[0] == kEvCommandComplete && have >= 3;
  FuzzCheck(ReadCommandComplete(event, &cc) == isComplete, "Command Complete taken wrongly");
  if (isComplete)
    FuzzCheck(cc.opcode == Le16(q + 1) && cc.returnParams == q + 3 && cc.returnLength == have - 3,
              "Command Complete fields");

  NumCompletedPackets done;
  const bool isDone = p[0] == kEvNumCompletedPackets && have >= 1 && have >= 1 + 4u * q[0];
  FuzzCheck(ReadNumCompletedPackets(event, &done) == isDone, "Number Of Completed Packets taken wrongly");
  if (isDone) {
    // Every pair it names is read, and one index past them reads as nothing.
    for (int i = 0; i <= done.numHandles; ++i) {
      const CompletedPackets pair = CompletedPacketsAt(done, i);
      if (i == done.numHandles) {
        FuzzCheck(pair.handle == 0 && pair.count == 0, "a pair past the last");
      } else {
        FuzzCheck(pair.handle == Le16(q + 1 + 4 * i) && pair.count == Le16(q + 3 + 4 * i), "a pair's fields");
      }
    }
  }
}

void CheckDataHeaders(const uint8_t* p, size_t n) {
  AclHeader acl;
  FuzzCheck(ReadAclHeader(p, n, &acl) == (n >= 4), "ACL header taken wrongly");
  if (n >= 4)
    FuzzCheck(acl.handle == (Le16(p) & 0x0FFF) && acl.packetBoundary == (p[1] >> 4 & 3) && acl.broadcast == p[1] >> 6 &&
                  acl.dataLength == Le16(p + 2),
              "ACL header fields");
  ScoHeader sco;
  FuzzCheck(ReadScoHeader(p, n, &sco) == (n >= 3), "SCO header taken wrongly");
  if (n >= 3)
    FuzzCheck(sco.handle == (Le16(p) & 0x0FFF) && sco.packetStatus == (p[1] >> 4 & 3) && sco.reserved == p[1] >> 6 &&
                  sco.dataLength == p[2],
              "SCO header fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every prefix of the input, each in a buffer of its own size: a packet cut anywhere.
  const size_t longest = size < 300 ? size : 300;
  for (size_t n = 0; n <= longest; ++n) {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[n > 0 ? n : 1]);
    for (size_t i = 0; i < n; ++i) bytes[i] = data[i];
    CheckEvent(bytes.get(), n);
    CheckDataHeaders(bytes.get(), n);
  }
  return 0;
}
