// Diag mode end to end: a test host that speaks frames, the bridge, ftmd's controller.
#include "harness.h"
#include "tcp_queues.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

// The echo of a received block: the block as it came, a new FCS over it, the flag.
Bytes Echo(const Bytes& block) { return EncodeFrame(block, false); }

const Bytes kVersion = Hex(
    "00 4F 63 74 20 30 38 20 32 30 31 31 31 30 3A 30 37 3A 30 30 4F 63 74 20 30 38 20 32 30 31 31 31"
    "30 3A 30 37 3A 30 30 41 41 41 31 30 30 30 30 00 01 FF 01 00 00 01 00");

TEST(DiagMode, CannedRepliesAndRequestsThatGetNothing) {
  LiveRun run("diag");
  run.host->Send(EncodeFrame({0x00}, true));
  Bytes version = run.host->Receive(58);
  EXPECT_EQ(version, EncodeFrame(kVersion, false));
  EXPECT_EQ(Bytes(version.end() - 3, version.end()), Hex("71 93 7e"));

  run.host->Send(EncodeFrame({0x01}, true));
  EXPECT_EQ(run.host->Receive(8), Hex("01 ef be ad de 6d 78 7e"));
  // Lines of the reader threads may come between these two.
  EXPECT_TRUE(run.bridge.child->WaitForOutput("\nBTFTM : DiagPrintToStream Send[8]: 01 ef be ad de 6d 78 7e \n"));
  EXPECT_TRUE(run.bridge.child->HasInOrder(
      {"BTFTM : echo for esn\n", "\nBTFTM : DiagPrintToStream Send[8]: 01 ef be ad de 6d 78 7e \n"}));

  run.host->Send(EncodeFrame({0x3F}, true));
  EXPECT_EQ(run.host->Receive(7), Hex("3f 01 00 00 09 58 7e"));

  run.host->Send(EncodeFrame(Hex("73 00 00 00 01 00 00 00"), true));
  Bytes op1 = run.host->Receive(79);
  ASSERT_EQ(op1.size(), 79u);
  EXPECT_EQ(Bytes(op1.end() - 3, op1.end()), Hex("51 93 7e"));
  run.host->Send(EncodeFrame(Hex("73 00 00 00 04 00 00 00"), true));
  Bytes op4 = run.host->Receive(204);
  ASSERT_EQ(op4.size(), 204u);
  EXPECT_EQ(op4[4], 0x04);
  EXPECT_EQ(Bytes(op4.end() - 3, op4.end()), Hex("7c 42 7e"));

  // Log Mask with another operation, extendedBuildID and unknown codes: lines, no reply.
  run.host->Send(EncodeFrame(Hex("73 00 00 00 02 00 00 00"), true));
  EXPECT_TRUE(run.bridge.child->WaitForCount("BTFTM : Log Mask\n", 3));
  run.host->Send(EncodeFrame({0x7C}, true));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM : echo for extendedBuildID\n"));
  run.host->Send(EncodeFrame({0xFF, 0x01}, true));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM :In default\n"));
  EXPECT_TRUE(run.host->Quiet(Millis(300)));
  // The version reply is the one canned reply that prints nothing.
  EXPECT_EQ(run.bridge.child->Count("Send[58]"), 0);
}

// Requests sent back to back arrive together in one receive; each gets its own reply.
TEST(DiagMode, HundredVersionRequestsInOneSendGetAHundredReplies) {
  LiveRun run("diag");
  ASSERT_TRUE(run.ready);
  const Bytes request = EncodeFrame({0x00}, true);
  Bytes hundred;
  for (int i = 0; i < 100; ++i) hundred.insert(hundred.end(), request.begin(), request.end());
  run.host->Send(hundred);
  const Bytes reply = EncodeFrame(kVersion, false);
  int replies = 0;
  while (replies < 100 && run.host->Receive(reply.size()) == reply) ++replies;
  EXPECT_EQ(replies, 100);
  EXPECT_TRUE(run.host->Quiet(Millis(200)));
}

TEST(DiagMode, LoopbackComesBackAsSent) {
  LiveRun run("diag");
  run.host->Send(Hex("7b 01 02 78 55 7e"));
  EXPECT_EQ(run.host->Receive(6), Hex("7b 01 02 78 55 7e"));
}

TEST(DiagMode, FtmHciResetIsEchoedAndItsEventComesBackAsALogPacket) {
  LiveRun run("diag");
  Bytes request = Hex("4B 0B 04 00 00 00 04 00 00 00 01 03 0C 00 10 EC 7E");
  run.host->Send(request);
  EXPECT_EQ(run.host->Receive(20), Hex("4B 0B 04 00 00 00 04 00 00 00 01 03 0C 00 10 EC 7E 35 5C 7E"));
  Bytes frame = run.host->ReceiveFrame();
  EXPECT_EQ(frame, Hex("10 00 12 00 12 00 66 13 E5 62 2A C5 FF 01 00 04 0E 04 01 03 0C 00 DD A3 7E"));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n"));
  EXPECT_TRUE(run.bridge.child->WaitForOutput(
      "\nBTFTM : DiagPrintToStream Send[25]: 10 00 12 00 12 00 66 13 e5 62 2a c5 ff 01 00 04 0e 04 01 03 0c 00 dd a3 "
      "7e \n"));
}

TEST(DiagMode, ARequestSplitOverTwoReceivesIsAnswered) {
  LiveRun run("diag");
  Bytes request = DiagHciRequest(Hex("01 09 10 00"));  // Read_BD_ADDR
  run.host->Send(Bytes(request.begin(), request.begin() + 8));
  ASSERT_TRUE(tarnexio_test::WaitPeerHasReadAll(run.host->fd()));  // the rest comes in a receive of its own
  run.host->Send(Bytes(request.begin() + 8, request.end()));
  EXPECT_EQ(run.host->Receive(request.size() + 3), Echo(request));
  LogPacket cc = ReceiveLog(*run.host, 0x1366);
  ASSERT_GE(cc.payload.size(), 6u);
  EXPECT_EQ(Bytes(cc.payload.begin(), cc.payload.begin() + 6), Hex("0e 0a 01 09 10 00"));
}

// What a request brought back from the controller: its Command Complete, which the event
// reader sends, and ACL data, which the ACL reader sends. Packets of one reader keep their
// order; those of the two readers come in any order.
struct Replies {
  Bytes commandComplete;
  std::vector<Bytes> acl;
};

// Takes log packets until the Command Complete of opcode and aclCount ACL packets are in;
// what is missing when the time runs out stays empty.
Replies ReceiveReplies(TestHost& host, uint16_t opcode, size_t aclCount) {
  Replies r;
  while (r.commandComplete.empty() || r.acl.size() < aclCount) {
    LogPacket log = ReceiveLog(host, 0);
    if (log.payload.empty()) break;
    const Bytes& p = log.payload;
    if (log.code == 0x1368) {
      r.acl.push_back(p);
    } else if (log.code == 0x1366 && p.size() >= 6 && p[0] == 0x0E && (p[3] | p[4] << 8) == opcode) {
      r.commandComplete = p;
    }
  }
  return r;
}

TEST(DiagMode, AclDataFullOfFlagAndEscapeBytesArrivesWhole) {
  LiveRun run("diag");
  Bytes create = DiagHciRequest(Hex("01 05 04 0d 11 22 33 44 55 66 18 cc 01 00 00 00 01"));
  run.host->Send(create);
  ASSERT_EQ(run.host->Receive(create.size() + 3), Echo(create));
  LogPacket complete;
  for (int i = 0; i < 5 && !(complete.payload.size() > 4 && complete.payload[0] == 0x03); ++i) {
    complete = ReceiveLog(*run.host, 0x1366);
  }
  ASSERT_GT(complete.payload.size(), 4u);
  ASSERT_EQ(complete.payload[2], 0x00);
  uint16_t handle = (uint16_t)(complete.payload[3] | complete.payload[4] << 8);

  for (uint8_t pattern : {0x7E, 0x7D, 0x00}) {
    const int count = 3, length = 1000;
    Bytes generate = DiagHciRequest({0x01, 0x01, 0xFC, 0x07, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), count, 0,
                                    (uint8_t)(length & 0xFF), (uint8_t)(length >> 8), pattern});
    run.host->Send(generate);
    // The echo comes before anything the request brings back; both of its replies are
    // taken before the next request, whose echo then comes next.
    ASSERT_EQ(run.host->Receive(generate.size() + 3), Echo(generate));
    Replies replies = ReceiveReplies(*run.host, 0xFC01, count);
    ASSERT_GE(replies.commandComplete.size(), 6u) << "Command Complete of pattern " << (int)pattern;
    EXPECT_EQ(replies.commandComplete[5], 0x00) << (int)pattern;
    ASSERT_EQ(replies.acl.size(), (size_t)count) << (int)pattern;
    for (const Bytes& acl : replies.acl) {
      ASSERT_EQ(acl.size(), (size_t)length + 4) << (int)pattern;
      EXPECT_EQ(acl[0] | (acl[1] & 0x0F) << 8, handle);
      EXPECT_EQ(acl[2] | acl[3] << 8, length);
      for (int i = 0; i < length; ++i) {
        uint8_t want = pattern != 0 ? pattern : (uint8_t)i;
        ASSERT_EQ(acl[4 + i], want) << "byte " << i << " of pattern " << (int)pattern;
      }
    }
  }
  EXPECT_TRUE(run.bridge.child->WaitForOutput("\nBTFTM : Received #9 ACL packet from btsoc, length is: 1004\n"));
}

TEST(DiagMode, ZeroCommandLengthIsEchoedButNothingReachesTheController) {
  LiveRun run("diag");
  Bytes request = EncodeFrame(Hex("4B 0B 04 00 00 00 00 00 00 00 01"), true);
  run.host->Send(request);
  EXPECT_EQ(run.host->Receive(request.size() + 3), Echo(request));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM: HCI cmd length is 0, nothing sent to btsoc\n"));
  EXPECT_EQ(run.bridge.child->Count("SendHciCmd"), 0);
}

TEST(DiagMode, DisconnectEndsTheRun) {
  LiveRun run("diag");
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_TRUE(run.bridge.child->HasInOrder({"BTFTM : Client disconnected\n", "BTFTM : Cleaning all resources\n",
                                            "BTFTM : All resources are freed\n",
                                            "BTFTM : Coming out of main loop\n"}));
}

}  // namespace
