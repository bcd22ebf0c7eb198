#include "core/packet_tap.h"

#include <cerrno>
#include <cstring>

void StartCapture(PacketTap* tap) {
  std::wstring name;
  if (!ReadEnvironmentVariable(L"TARNEXIO_BTSNOOP", &name)) return;
  std::FILE* file = nullptr;
  std::wstring why;
  const CaptureOpenResult opened = OpenCaptureFile(name.c_str(), &tap->capturePath, &file, &why);
  const wchar_t* path = tap->capturePath.c_str();
  switch (opened) {
    case CAPTURE_OPENED: break;
    case CAPTURE_NO_READER:
      print_message(L"BTFTM : Nobody reads the pipe %ls, running without capture\n", path);
      return;
    case CAPTURE_REFUSED:
      print_message(L"BTFTM : Capture to %ls refused: %ls, running without capture\n", path, why.c_str());
      return;
    case CAPTURE_CANNOT_CREATE:
      print_message(L"BTFTM : Cannot create the btsnoop file %ls (error %d), running without capture\n", path, errno);
      return;
  }
  const int error = BtsnoopStart(&tap->capture, file);
  if (error != 0) {
    print_message(L"BTFTM : btsnoop capture to %ls stopped: write failed (error %d), traffic goes on\n", path, error);
    return;
  }
  tap->captureNamed = true;
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
  // All of it is ASCII.
  std::wstring wide(line.begin(), line.end());
  if (tap->captureNamed) wide += L"; capture " + tap->capturePath;
  print_message(L"BTFTM : Run summary: %ls\n", wide.c_str());
}

void StopCapture(PacketTap* tap) { BtsnoopStop(&tap->capture); }
