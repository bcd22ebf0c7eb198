#include "core/packet_tap.h"

#include "wire/version.h"

#include <cerrno>
#include <cstring>

void StartCapture(PacketTap* tap) {
  if (!ReadEnvironmentVariable(L"TARNEXIO_BTSNOOP", &tap->capturePath)) return;
  const wchar_t* path = tap->capturePath.c_str();
  std::FILE* file = CreateFileForWriting(path);
  if (file == nullptr) {
    print_message(L"BTFTM : Cannot create the btsnoop file %ls (error %d), running without capture\n", path, errno);
    return;
  }
  const int error = BtsnoopStart(&tap->capture, file);
  if (error != 0) {
    print_message(L"BTFTM : btsnoop capture to %ls stopped: write failed (error %d), traffic goes on\n", path, error);
    return;
  }
  print_message(L"BTFTM : Capturing HCI packets to %ls\n", path);
}

void TapPacket(PacketTap* tap, BtsnoopDirection direction, BYTE h4Type, const BYTE* packet, int length) {
  int error = 0;
  if (TapHciPacket(&tap->capture, &tap->counts, direction, h4Type, packet, length > 0 ? size_t(length) : 0, &error) ==
      BTSNOOP_WRITE_FAILED) {
    print_message(L"BTFTM : btsnoop capture to %ls stopped: write failed (error %d), traffic goes on\n",
                  tap->capturePath.c_str(), error);
  }
}

namespace {

const char* const kDropCauseNames[DROP_CAUSE_COUNT] = {
    "oversized", "malformed", "short reply", "unknown type", "no frame end", "not sent", "no memory",
};

}  // namespace

void PrintRunSummary(const PacketTap* tap) {
  std::string line = FormatHciCounts(tap->counts) + "; dropped:";
  for (int cause = 0; cause < DROP_CAUSE_COUNT; ++cause) {
    line += cause == 0 ? " " : ", ";
    line += kDropCauseNames[cause];
    line += ' ';
    line += std::to_string(tap->drops.byCause[cause].load());
  }
  line += "; Tarnexio version ";
  line += TarnexioVersion();
  // All of it is ASCII.
  const std::wstring wide(line.begin(), line.end());
  print_message(L"BTFTM : Run summary: %ls\n", wide.c_str());
}

void StopCapture(PacketTap* tap) { BtsnoopStop(&tap->capture); }
