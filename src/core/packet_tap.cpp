#include "core/packet_tap.h"

#include "core/settings.h"
#include "wire/capture_format.h"
#include "wire/version.h"

#include <cerrno>
#include <cstring>

namespace {

long WriteStream(void* stream, const uint8_t* data, size_t length, int timeoutMs) {
  return WriteCaptureStream(static_cast<CaptureStream*>(stream), data, length, timeoutMs);
}
int AwaitStreamReader(void* stream, int timeoutMs) {
  return AwaitCaptureReader(static_cast<CaptureStream*>(stream), timeoutMs);
}
void DropStreamReader(void* stream) { DropCaptureReader(static_cast<CaptureStream*>(stream)); }
void CloseStream(void* stream) { CloseCaptureStream(static_cast<CaptureStream*>(stream)); }
void CloseEmptyStream(void* stream) { CloseEmptyCaptureStream(static_cast<CaptureStream*>(stream)); }

enum { CAPTURE_KEEP_MAX = 1000000 };

// TARNEXIO_CAPTURE_KEEP: how many capture files a capture directory keeps, or 0 (all).
unsigned CaptureKeep() {
  unsigned long keep = 0;
  return ReadNumberSetting(L"TARNEXIO_CAPTURE_KEEP", CAPTURE_KEEP_MAX, L"files", &keep) ? unsigned(keep) : 0;
}

}  // namespace

void StartCapture(PacketTap* tap) {
  std::wstring name;
  if (!ReadEnvironmentVariable(L"TARNEXIO_CAPTURE", &name) && !ReadEnvironmentVariable(L"TARNEXIO_BTSNOOP", &name))
    return;
  CaptureStream* stream = nullptr;
  std::wstring why;
  const CaptureOpenResult opened = OpenCaptureStream(name.c_str(), &tap->capturePath, &stream, &why, CaptureKeep());
  const wchar_t* path = tap->capturePath.c_str();
  switch (opened) {
    case CAPTURE_OPENED_FILE:
    case CAPTURE_OPENED_PIPE: break;
    case CAPTURE_REFUSED:
      print_message(L"BTFTM : Capture to %ls refused: %ls, running without capture\n", path, why.c_str());
      return;
    case CAPTURE_CANNOT_CREATE:
      print_message(L"BTFTM : Cannot create the btsnoop file %ls (error %d), running without capture\n", path, errno);
      return;
  }
  CaptureSink sink;
  sink.context = stream;
  sink.write = WriteStream;
  sink.close = CloseStream;
  sink.closeEmpty = CloseEmptyStream;
  if (opened == CAPTURE_OPENED_PIPE) {
    sink.awaitReader = AwaitStreamReader;
    sink.dropReader = DropStreamReader;
  }
  std::string narrow;
  for (wchar_t c : tap->capturePath) narrow += char(c);
  const std::string application = std::string("Tarnexio ") + TarnexioVersion();
  const int error = CaptureStart(&tap->capture, CaptureFormatOfName(narrow), sink, application, [tap](CapturePipeEvent e) {
    if (e == CAPTURE_READER_CAME) {
      print_message(L"BTFTM : A reader opened the pipe %ls, capturing HCI packets to it\n", tap->capturePath.c_str());
    } else {
      print_message(L"BTFTM : The reader of the pipe %ls left, capturing again when a reader opens it\n",
                    tap->capturePath.c_str());
    }
  });
  if (error != 0) {
    print_message(L"BTFTM : btsnoop capture to %ls stopped: write failed (error %d), traffic goes on\n", path, error);
    return;
  }
  tap->captureNamed = true;
  if (opened == CAPTURE_OPENED_PIPE) {
    print_message(L"BTFTM : Capturing HCI packets to the pipe %ls once a reader opens it\n", path);
  } else {
    print_message(L"BTFTM : Capturing HCI packets to %ls\n", path);
  }
}

uint64_t TotalDrops(const PacketTap* tap) {
  uint64_t total = 0;
  for (const std::atomic<uint64_t>& n : tap->drops.byCause) total += n.load(std::memory_order_relaxed);
  return total;
}

void TapPacket(PacketTap* tap, BtsnoopDirection direction, BYTE h4Type, const BYTE* packet, int length) {
  int error = 0;
  if (TapHciPacket(&tap->capture, &tap->counts, direction, h4Type, packet, length > 0 ? size_t(length) : 0,
                   TotalDrops(tap), &error) == CAPTURE_WRITE_FAILED) {
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
  std::wstring wide(line.begin(), line.end());
  if (tap->captureNamed) wide += L"; capture " + tap->capturePath;
  print_message(L"BTFTM : Run summary: %ls\n", wide.c_str());
}

void StopCapture(PacketTap* tap) {
  CaptureStop(&tap->capture, TotalDrops(tap));
  const uint64_t lost = CaptureLost(&tap->capture);
  if (lost > 0) {
    print_message(L"BTFTM : The pipe %ls lost %llu packets to a slow reader\n", tap->capturePath.c_str(),
                  (unsigned long long)lost);
  }
}
