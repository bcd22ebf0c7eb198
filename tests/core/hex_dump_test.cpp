// The items of the packet dumps and the HCI command line built from them.
#include "core/hex_dump.h"

#include "console_capture.h"
#include "frames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

TEST(DumpItems, BothItemStyles) {
  const BYTE data[] = {0x0E, 0x00, 0xFF, 0x05};
  wchar_t out[64];
  EXPECT_EQ(FormatHexItems(data, 4, false, out, 64), 12);
  EXPECT_EQ(std::wstring(out), L"0e 00 ff 05 ");
  FormatHexItems(data, 4, true, out, 64);
  EXPECT_EQ(std::wstring(out), L"0xe 0x0 0xff 0x5 ");
  FormatHexItems(data, 0, true, out, 64);
  EXPECT_EQ(std::wstring(out), L"");
}

TEST(DumpItems, StopsBeforeTheEndOfTheOutput) {
  const BYTE data[] = {0x10, 0x20, 0x30};
  wchar_t out[8];
  wmemset(out, L'#', 8);
  EXPECT_EQ(FormatHexItems(data, 3, false, out, 7), 6);
  EXPECT_EQ(std::wstring(out), L"10 20 ");
  EXPECT_EQ(out[7], L'#');
}

TEST(DumpItems, LongestCommandLineIsWhole) {
  Bytes command(HCI_COMMAND_MAX);
  for (size_t i = 0; i < command.size(); ++i) command[i] = (uint8_t)(i * 7);
  std::string expected = "BTFTM: HCI cmd(to btsoc)(258):";
  char item[4];
  for (uint8_t b : command) {
    snprintf(item, sizeof item, "%02x ", b);
    expected += item;
  }
  expected += "\n";
  ConsoleCapture console;
  PrintHciCommand(command.data(), (int)command.size());
  EXPECT_EQ(console.Text(), expected);
}

}  // namespace
