// The responder's answers by request code: canned replies, loopback, log mask and the
// codes that get nothing.
#include "child_process.h"
#include "console_capture.h"
#include "diag/diag.h"
#include "frames.h"
#include "recorders.h"


#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>

namespace {

Bytes Text(const char* s) { return Bytes(s, s + std::string(s).size()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes LittleEndianWords(std::initializer_list<uint32_t> words) {
  Bytes out;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back((uint8_t)(w >> (8 * i)));
  return out;
}

std::string DumpLine(const Bytes& frame) {
  std::string line = "\nBTFTM : DiagPrintToStream Send[" + std::to_string(frame.size()) + "]: ";
  char item[4];
  for (uint8_t b : frame) {
    std::snprintf(item, sizeof item, "%02x ", b);
    line += item;
  }
  return line + "\n";
}

struct Answer {
  int result;
  std::vector<Bytes> sends;
  std::string console;
  std::vector<Bytes> commands;
};

// Runs one request held in a buffer of its own size plus a zeroed tail, as the receive
// loop hands it over.
Answer Ask(const Bytes& request, int tail = 600) {
  Bytes buffer = request;
  buffer.resize(request.size() + tail, 0);
  HostSendRecorder host;
  DriverWriteRecorder driver;
  ConsoleCapture console;
  Answer a;
  a.result = HandleDiagRequest(host.sender(), buffer.data(), (int)request.size(), (int)buffer.size(), driver.writer());
  a.sends = host.sends();
  a.console = console.Text();
  a.commands = driver.commands();
  EXPECT_EQ(driver.otherWrites(), 0);
  return a;
}

const Bytes kDateTime = Text("Oct 08 201110:07:00");

TEST(DiagResponder, VersionReplySentQuietly) {
  const Bytes reply =
      Concat({{0x00}, kDateTime, kDateTime, Text("AAA10000"), {0x00, 0x01, 0xFF, 0x01, 0x00, 0x00, 0x01, 0x00}});
  ASSERT_EQ(reply.size(), 55u);
  const Answer a = Ask({0x00, 0x78, 0xF0, 0x7E});
  EXPECT_EQ(a.result, 1);
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_EQ(a.sends[0], PlainFrame(reply, 0x71, 0x93));
  EXPECT_EQ(a.sends[0].size(), 58u);
  EXPECT_EQ(a.console, "");
}

TEST(DiagResponder, CannedRepliesWithTheirLines) {
  Bytes status(48, 0);
  const Bytes statusHead = LittleEndianWords({0x0C, 0xBABEFACE});
  std::copy(statusHead.begin(), statusHead.end(), status.begin());
  status[8] = 0x06;
  status[25] = 0xFF;

  Bytes nvItem = Concat({{0x26, 0x47, 0x00}, Text("BT.DIAG.BRIDGE")});
  nvItem.resize(69, 0);

  struct Case {
    Bytes request;
    const char* line;
    Bytes frame;
  } cases[] = {
      // The esn reply does not depend on what else the request holds.
      {{0x01, 0x55, 0x7D, 0x5E, 0x99, 0x7E}, "BTFTM : echo for esn\n", PlainFrame({0x01, 0xEF, 0xBE, 0xAD, 0xDE}, 0x6D, 0x78)},
      {{0x0C, 0x14, 0x3A, 0x7E}, "BTFTM : echo for status\n", PlainFrame(status, 0x8B, 0x1D)},
      {{0x26, 0x01, 0x00, 0x7E}, "BTFTM : echo for nvItemRead\n", PlainFrame(nvItem, 0xFD, 0xB3)},
      {{0x3F, 0x20, 0x4B, 0x7E}, "BTFTM : echo for phoneState\n", PlainFrame({0x3F, 0x01, 0x00, 0x00}, 0x09, 0x58)},
  };
  for (const Case& c : cases) {
    const Answer a = Ask(c.request);
    EXPECT_EQ(a.result, 1);
    ASSERT_EQ(a.sends.size(), 1u) << c.line;
    EXPECT_EQ(a.sends[0], c.frame) << c.line;
    EXPECT_EQ(a.console, c.line + DumpLine(c.frame));
  }
  EXPECT_EQ(DumpLine(cases[0].frame), "\nBTFTM : DiagPrintToStream Send[8]: 01 ef be ad de 6d 78 7e \n");
}

TEST(DiagResponder, LogMaskByOperationByte) {
  const Bytes op1 = LittleEndianWords({0x73, 1, 0, 0, 0x5A6, 0, 0, 0x910, 0x420, 0, 0xB56, 0, 0, 0x38A, 0x201, 0, 0, 0, 0});
  Bytes op4 = LittleEndianWords({0x73, 4, 0, 1, 0x5A6});
  op4.resize(201, 0);
  op4[67] = 0x10;
  op4[128] = 0x40;

  Answer a = Ask({0x73, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x7E});
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_EQ(a.sends[0], PlainFrame(op1, 0x51, 0x93));
  EXPECT_EQ(a.console, "BTFTM : Log Mask\n" + DumpLine(a.sends[0]));

  a = Ask({0x73, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x7E});
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_EQ(a.sends[0], PlainFrame(op4, 0x7C, 0x42));
  EXPECT_EQ(a.sends[0].size(), 204u);

  a = Ask({0x73, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x7E});
  EXPECT_TRUE(a.sends.empty());
  EXPECT_EQ(a.console, "BTFTM : Log Mask\n");
  EXPECT_EQ(a.result, 1);
}

TEST(DiagResponder, CodesThatGetNoReply) {
  struct Case {
    Bytes request;
    const char* line;
  } cases[] = {
      {{0x7C, 0x00, 0x7E}, "BTFTM : echo for extendedBuildID\n"},
      {{0x7D, 0x5D, 0x00, 0x7E}, "BTFTM :In default\n"},
      {{0xFF, 0x7E}, "BTFTM :In default\n"},
      {{0x7E, 0x01, 0xEF, 0x7E}, "BTFTM :In default\n"},  // a host that opens frames with a flag
      {{0x02, 0x7E}, "BTFTM :In default\n"},
  };
  for (const Case& c : cases) {
    const Answer a = Ask(c.request);
    EXPECT_EQ(a.result, 1);
    EXPECT_TRUE(a.sends.empty()) << c.line;
    EXPECT_TRUE(a.commands.empty());
    EXPECT_EQ(a.console, c.line);
  }
}

TEST(DiagResponder, LoopbackReturnsBytesUpToFirstFlag) {
  Answer a = Ask({0x7B, 0x01, 0x02, 0x78, 0x55, 0x7E});
  EXPECT_EQ(a.result, 1);
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_EQ(a.sends[0], (Bytes{0x7B, 0x01, 0x02, 0x78, 0x55, 0x7E}));
  EXPECT_EQ(a.console, "");

  // Only the first frame of a block goes back.
  a = Ask({0x7B, 0x11, 0x7E, 0x7B, 0x22, 0x7E});
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_EQ(a.sends[0], (Bytes{0x7B, 0x11, 0x7E}));

  Bytes late(300, 0x33);
  late[0] = 0x7B;
  late[255] = 0x7E;
  a = Ask(late);
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_EQ(a.sends[0], Bytes(late.begin(), late.begin() + 256));

  late[255] = 0x33;
  late[256] = 0x7E;
  a = Ask(late);
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_EQ(a.sends[0], (Bytes{0x7B}));
}

TEST(DiagResponder, LoopbackFailureGivesZero) {
  for (int failure : {(int)HOST_SEND_FAILED, (int)HOST_SEND_NO_SOCKET, 2}) {
    Bytes buffer = {0x7B, 0x01, 0x02, 0x78, 0x55, 0x7E};
    HostSendRecorder host;
    host.FailWith(failure);
    DriverWriteRecorder driver;
    ConsoleCapture console;
    EXPECT_EQ(HandleDiagRequest(host.sender(), buffer.data(), 6, 6, driver.writer()), 0) << failure;
    EXPECT_EQ(console.Text(), "BTFTM : diagProtLoopback ... send failed\n");
  }
}

// Bytes past the end of the given buffer must read as zero, whatever lies there.
TEST(DiagResponder, ReadsNothingPastTheBuffer) {
  Bytes memory(1024, 0x7E);
  HostSendRecorder host;
  DriverWriteRecorder driver;
  ConsoleCapture console;

  memory[0] = 0x73;  // byte 4 beyond the buffer: no operation selected
  memory[4] = 0x01;
  EXPECT_EQ(HandleDiagRequest(host.sender(), memory.data(), 4, 4, driver.writer()), 1);
  EXPECT_TRUE(host.sends().empty());

  std::fill(memory.begin(), memory.end(), 0x7E);
  memory[0] = 0x7B;  // no flag inside the buffer: only the code goes back
  memory[1] = 0x01;
  memory[2] = 0x02;
  EXPECT_EQ(HandleDiagRequest(host.sender(), memory.data(), 3, 3, driver.writer()), 1);
  ASSERT_EQ(host.sends().size(), 1u);
  EXPECT_EQ(host.sends()[0], (Bytes{0x7B}));

  // An empty buffer reads as the code 0x00.
  EXPECT_EQ(HandleDiagRequest(host.sender(), nullptr, 0, 0, driver.writer()), 1);
  ASSERT_EQ(host.sends().size(), 2u);
  EXPECT_EQ(host.sends()[1].size(), 58u);
}

}  // namespace

namespace {

using tarnexio_test::Occurrences;

TEST(DiagResponder, AnswerLinesAreBoundedPerReceiveButEveryRequestIsAnswered) {
  const struct {
    const char* name;
    Bytes request;
    std::string line;  // the line each answer prints beside its reply's dump, if any
    bool replied;
  } cases[] = {
      {"esn", {0x01, 0x7E}, "BTFTM : echo for esn\n", true},
      {"status", {0x0C, 0x7E}, "BTFTM : echo for status\n", true},
      {"log mask", {0x73, 0, 0, 0, 1, 0x7E}, "BTFTM : Log Mask\n", true},
      {"extended build id", {0x7C, 0x7E}, "BTFTM : echo for extendedBuildID\n", false},
      {"unknown code", {0x02, 0x7E}, "BTFTM :In default\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostSendRecorder host;
    DriverWriteRecorder driver;
    PeerLines lines;
    host.sender()->peerLines = &lines;
    ConsoleCapture console;
    // Two receives of 40 requests each: 32 shown in the first and 8 said; the second
    // (the flood going on) shows none, and is said when the connection ends.
    for (int receive = 0; receive < 2; ++receive) {
      for (int i = 0; i < 40; ++i) {
        Bytes buffer = c.request;
        buffer.resize(c.request.size() + 16, 0);
        HandleDiagRequest(host.sender(), buffer.data(), (int)c.request.size(), (int)buffer.size(), driver.writer());
      }
      EndPeerReceive(&lines);
    }
    EndPeerLines(&lines);
    const std::string text = console.Text();
    EXPECT_EQ(Occurrences(text, c.line), 32u);
    EXPECT_EQ(Occurrences(text, "BTFTM : 8 more diag requests answered, not shown one by one\n"), 1u) << text;
    EXPECT_EQ(Occurrences(text, "BTFTM : 40 more diag requests answered, not shown one by one\n"), 1u) << text;
    // Every request is answered; a reply's dump is shown only with its line.
    EXPECT_EQ(host.sends().size(), c.replied ? 80u : 0u);
    EXPECT_EQ(Occurrences(text, "DiagPrintToStream Send["), c.replied ? 32u : 0u);
  }
}

}  // namespace
