// FTM subsystem requests: the echo of the whole block and the HCI command taken out of it.
#include "console_capture.h"
#include "diag/diag.h"
#include "frames.h"
#include "recorders.h"

#include <gtest/gtest.h>

namespace {

struct Outcome {
  std::vector<Bytes> sends;
  std::vector<Bytes> commands;
  std::string console;
};

// The request sits at the start of a buffer of bufferSize bytes whose tail beyond the
// request is filled with fill.
Outcome Request(const Bytes& request, int bufferSize, uint8_t fill = 0x00) {
  Bytes buffer(bufferSize > (int)request.size() ? (size_t)bufferSize : request.size() + 1024, fill);
  std::copy(request.begin(), request.end(), buffer.begin());
  HostSendRecorder host;
  DriverWriteRecorder driver;
  ConsoleCapture console;
  EXPECT_EQ(HandleDiagRequest(host.sender(), buffer.data(), (int)request.size(), bufferSize, driver.writer()), 1);
  EXPECT_EQ(driver.otherWrites(), 0);
  return {host.sends(), driver.commands(), console.Text()};
}

Bytes FtmHci(uint8_t length, const Bytes& command) {
  Bytes r = {0x4B, 0x0B, 0x04, 0x00, 0x00, 0x00, length, 0x00, 0x00, 0x00, 0x01};
  r.insert(r.end(), command.begin(), command.end());
  r.insert(r.end(), {0x10, 0xEC, 0x7E});
  return r;
}

TEST(FtmHciRequest, EchoedThenCommandWritten) {
  const Bytes request = {0x4B, 0x0B, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00,
                         0x00, 0x01, 0x03, 0x0C, 0x00, 0x10, 0xEC, 0x7E};
  const Outcome o = Request(request, 4096);
  ASSERT_EQ(o.sends.size(), 1u);
  Bytes echo = request;
  echo.insert(echo.end(), {0x35, 0x5C, 0x7E});
  EXPECT_EQ(o.sends[0], echo);
  ASSERT_EQ(o.commands.size(), 1u);
  EXPECT_EQ(o.commands[0], (Bytes{0x03, 0x0C, 0x00}));
  EXPECT_EQ(o.console, "BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n");
}

TEST(FtmHciRequest, OtherSubsystemRequestsOnlyEchoed) {
  const Bytes base = FtmHci(4, {0x03, 0x0C, 0x00});
  for (int offset : {1, 2, 3, 10}) {
    Bytes request = base;
    request[offset] = 0x0C;
    const Outcome o = Request(request, 4096);
    ASSERT_EQ(o.sends.size(), 1u) << offset;
    EXPECT_EQ(DecodeFrame(o.sends[0], false).size(), request.size() + 2);
    EXPECT_TRUE(o.commands.empty()) << offset;
    EXPECT_EQ(o.console, "");
  }
}

TEST(FtmHciRequest, EscapePairsRemovedFromCommand) {
  // 7D 5E and 7D 5D give one byte each; 7D 41 is not a pair and stays two bytes.
  const Outcome o = Request(FtmHci(5, {0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x41}), 4096);
  ASSERT_EQ(o.commands.size(), 1u);
  EXPECT_EQ(o.commands[0], (Bytes{0x7E, 0x7D, 0x7D, 0x41}));
  EXPECT_EQ(o.console, "BTFTM: HCI cmd(to btsoc)(4):7e 7d 7d 41 \n");
}

TEST(FtmHciRequest, EmptyAndZeroLengthCommands) {
  Outcome o = Request(FtmHci(1, {}), 4096);
  ASSERT_EQ(o.commands.size(), 1u);
  EXPECT_TRUE(o.commands[0].empty());
  EXPECT_EQ(o.console, "BTFTM: HCI cmd(to btsoc)(0):\n");

  // A length of 0 cannot even hold the packet type: echoed, refused, nothing written.
  o = Request(FtmHci(0, {0x03, 0x0C, 0x00}), 4096);
  EXPECT_EQ(o.sends.size(), 1u);
  EXPECT_TRUE(o.commands.empty());
  EXPECT_EQ(o.console, "BTFTM: HCI cmd length is 0, nothing sent to btsoc\n");
}

TEST(FtmHciRequest, EchoCoversWholeBlockAndLongBlocksStillWriteCommand) {
  Bytes twoFrames = FtmHci(4, {0x03, 0x0C, 0x00});
  const Bytes second = {0x0C, 0x14, 0x3A, 0x7E};
  twoFrames.insert(twoFrames.end(), second.begin(), second.end());
  Outcome o = Request(twoFrames, 4096);
  ASSERT_EQ(o.sends.size(), 1u);
  EXPECT_EQ(DecodeFrame(o.sends[0], false).size(), twoFrames.size() + 2);
  EXPECT_EQ(o.commands.size(), 1u);

  Bytes huge = FtmHci(4, {0x03, 0x0C, 0x00});
  huge.resize(1600, 0x55);
  huge.back() = 0x7E;
  o = Request(huge, 4096);
  EXPECT_TRUE(o.sends.empty());
  ASSERT_EQ(o.commands.size(), 1u);
  EXPECT_EQ(o.commands[0], (Bytes{0x03, 0x0C, 0x00}));
  EXPECT_EQ(o.console, "Input data is too large. Length = 1600 \nBTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n");
}

TEST(FtmHciRequest, CommandBytesPastTheBufferReadAsZero) {
  // The length byte asks for 254 command bytes, but the buffer ends after offset 12;
  // what lies behind it must not leak into the command or the echo.
  Bytes request = {0x4B, 0x0B, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x05, 0x7D};
  const Outcome o = Request(request, (int)request.size(), 0x5E);
  ASSERT_EQ(o.commands.size(), 1u);
  Bytes expected(254, 0x00);
  expected[0] = 0x05;
  expected[1] = 0x7D;  // its partner lies past the end
  EXPECT_EQ(o.commands[0], expected);

  // A request length beyond the buffer echoes only the buffer.
  Bytes memory(64, 0xAA);
  const Bytes head = FtmHci(1, {});
  std::copy(head.begin(), head.end(), memory.begin());
  HostSendRecorder host;
  DriverWriteRecorder driver;
  ConsoleCapture console;
  HandleDiagRequest(host.sender(), memory.data(), 2000, (int)head.size(), driver.writer());
  ASSERT_EQ(host.sends().size(), 1u);
  EXPECT_EQ(DecodeFrame(host.sends()[0], false).size(), head.size() + 2);
}

TEST(FtmHciRequest, LongestCommandWithEveryByteEscaped) {
  Bytes command;
  for (int i = 0; i < 254; ++i) command.insert(command.end(), {0x7D, (uint8_t)(i % 2 ? 0x5D : 0x5E)});
  const Outcome o = Request(FtmHci(255, command), 4096, 0x41);
  ASSERT_EQ(o.commands.size(), 1u);
  ASSERT_EQ(o.commands[0].size(), 254u);
  for (int i = 0; i < 254; ++i) EXPECT_EQ(o.commands[0][i], i % 2 ? 0x7D : 0x7E) << i;
  EXPECT_EQ(o.console.size(), std::string("BTFTM: HCI cmd(to btsoc)(254):\n").size() + 254 * 3);
}

}  // namespace
