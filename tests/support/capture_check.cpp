#include "capture_check.h"

#include "child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tarnexio_test {
namespace {

// Runs argv to its end; what it printed in *out. False when it fails or runs too long.
bool RunTool(const std::vector<std::string>& argv, std::string* out) {
  ChildProcess tool(argv);
  tool.CloseInput();
  const bool ended = tool.WaitForEnd(kCaptureToolTimeout);
  const int status = tool.WaitStatus(kCaptureToolTimeout);
  *out = tool.Output();
  return ended && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

Capture ReadCapture(const std::string& path) {
  Capture capture;
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CaptureReader reader;
  if (!in.is_open() || !CaptureReadStart(&reader, bytes.data(), bytes.size())) {
    capture.problem = "no btsnoop, pcap or pcapng header of H4 in " + path;
    return capture;
  }
  capture.format = reader.format;
  capture.opened = true;
  for (;;) {
    const size_t at = reader.offset;
    CaptureRecordView view;
    const CaptureReadResult result = CaptureReadNext(&reader, bytes.data(), bytes.size(), &view);
    if (result == CAPTURE_READ_END) break;
    bool whole = result == CAPTURE_READ_RECORD;
    if (whole) {
      // The btsnoop record as it is, else one made from what the record says.
      size_t offset = at;
      BtsnoopRecord record{uint32_t(view.length), uint32_t(view.length),
                           BtsnoopFlags(view.packet[0], view.direction), 0, 0, view.packet};
      if (reader.format == CAPTURE_BTSNOOP) BtsnoopNextRecord(bytes.data(), bytes.size(), &offset, &record);
      whole = BtsnoopRecordIsWholePacket(record);
    }
    if (!whole) {
      capture.problem = "record " + std::to_string(capture.packets.size() + 1) + " at offset " + std::to_string(at) +
                        (result == CAPTURE_READ_TRUNCATED ? " is cut short" : " is not one whole H4 packet");
      return capture;
    }
    capture.packets.push_back({view.direction, std::vector<uint8_t>(view.packet, view.packet + view.length),
                               BtsnoopTimestamp(view.unixMicros), uint32_t(view.drops), view.drops});
  }
  capture.statistics = reader.statistics;
  capture.received = reader.received;
  capture.dropped = reader.dropped;
  capture.wholeRecords = true;
  return capture;
}

std::vector<std::vector<uint8_t>> PacketsGoing(const Capture& capture, BtsnoopDirection direction) {
  std::vector<std::vector<uint8_t>> packets;
  for (const CapturedPacket& p : capture.packets)
    if (p.direction == direction) packets.push_back(p.bytes);
  return packets;
}

bool HaveProgram(const std::string& name) {
  return access(("/usr/bin/" + name).c_str(), X_OK) == 0 || access(("/usr/sbin/" + name).c_str(), X_OK) == 0;
}

bool DecodeWithTshark(const std::string& path, std::vector<DecodedFrame>* frames, std::string* problem) {
  // A configuration directory of its own: nothing of the user's profile, and nothing
  // shared with tests running at the same time.
  char dir[] = "/tmp/tarnexio-tshark-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    *problem = "no temporary directory";
    return false;
  }
  const std::string home = dir;
  std::string out;
  const bool ok = RunTool({"/usr/bin/env", "HOME=" + home, "XDG_CONFIG_HOME=" + home, "tshark", "-r", path, "-T",
                           "fields", "-E", "separator=/t", "-e", "frame.number", "-e", "hci_h4.type", "-e",
                           "hci_h4.direction", "-e", "_ws.malformed"},
                          &out);
  std::system(("rm -rf '" + home + "'").c_str());
  if (!ok) {
    *problem = "tshark failed: " + out;
    return false;
  }
  frames->clear();
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string number, type, direction, malformed;
    std::getline(fields, number, '\t');
    std::getline(fields, type, '\t');
    std::getline(fields, direction, '\t');
    std::getline(fields, malformed, '\t');
    // Frame lines start with the frame number; anything else is tshark talking.
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) continue;
    if (type.empty() || direction.empty()) {
      *problem = "tshark did not decode frame " + number + " as H4: " + line;
      return false;
    }
    frames->push_back({int(std::strtol(type.c_str(), nullptr, 0)), int(std::strtol(direction.c_str(), nullptr, 0)),
                       !malformed.empty()});
  }
  return true;
}

bool DropCountsWithTshark(const std::string& path, std::vector<std::string>* counts, std::string* problem) {
  char dir[] = "/tmp/tarnexio-tshark-XXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  const std::string home = dir;
  std::string out;
  const bool ok = RunTool({"/usr/bin/env", "HOME=" + home, "XDG_CONFIG_HOME=" + home, "tshark", "-r", path, "-T",
                           "fields", "-E", "separator=/t", "-e", "frame.number", "-e", "frame.drop_count"},
                          &out);
  std::system(("rm -rf '" + home + "'").c_str());
  *problem = out;
  counts->clear();
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.find_first_not_of("0123456789") != tab) continue;
    counts->push_back(line.substr(tab + 1));
  }
  return ok;
}

bool DecodeWithBtmon(const std::string& path, std::string* text) {
  return RunTool({"/usr/bin/env", "btmon", "-r", path}, text);
}

}  // namespace tarnexio_test
