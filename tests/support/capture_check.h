// Checks of captures (btsnoop, pcap, pcapng) for the tests: the project's own reader, and
// the files as tshark and btmon read them.
#pragma once

#include "test_time.h"
#include "wire/btsnoop.h"
#include "wire/capture_format.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarnexio_test {

// How long a test gives an outside reader of captures (tshark, btmon) to start, read and
// end: its start-up alone costs a second or more of CPU (tshark starts dumpcap for a pipe),
// which a loaded machine stretches many times over. A wait on it still ends as soon as the
// reader has done what is waited for.
constexpr Millis kCaptureToolTimeout(60000);

struct CapturedPacket {
  BtsnoopDirection direction;
  std::vector<uint8_t> bytes;  // H4 type byte first
  uint64_t timestamp;  // as btsnoop has it, whatever the format
  uint32_t drops;
  uint64_t dropsSoFar;  // the record's drop count, in full
};

struct Capture {
  bool opened = false;        // the file could be read and has a version 1 H4 header
  bool wholeRecords = false;  // every byte belongs to a whole, well-formed record
  std::string problem;        // what is wrong when either is false
  std::vector<CapturedPacket> packets;
  CaptureFormat format = CAPTURE_BTSNOOP;
  bool statistics = false;  // pcapng: the interface statistics at the end, with:
  uint64_t received = 0, dropped = 0;
};

// Reads a capture with the project's reader; stops at the first record that is not whole.
Capture ReadCapture(const std::string& path);

// The packets of one direction, in file order.
std::vector<std::vector<uint8_t>> PacketsGoing(const Capture& capture, BtsnoopDirection direction);

struct DecodedFrame {
  int h4Type;
  int direction;  // 0 sent to the controller, 1 received from it
  bool malformed;
};

// True when the program is installed (tests that need it are skipped otherwise).
bool HaveProgram(const std::string& name);

// Runs `tshark -r path` with a private configuration directory; one entry per frame.
// False (with *problem set) when tshark fails or its output cannot be read.
bool DecodeWithTshark(const std::string& path, std::vector<DecodedFrame>* frames, std::string* problem);

// Runs `tshark -r path`: each frame's drop count as tshark gives it ("" where it has none).
// False (with tshark's output in *problem) when tshark fails.
bool DropCountsWithTshark(const std::string& path, std::vector<std::string>* counts, std::string* problem);

// Runs `btmon -r path`; the text it prints. False when it fails.
bool DecodeWithBtmon(const std::string& path, std::string* text);

}  // namespace tarnexio_test
