// The diag formats. The frame encoder: whatever it encodes decodes back (by hand and by the
// decoder) to the packet with a good FCS, and a refusal happens only for a bad length or a
// capacity too small for the frame. The readers (frame decoder, log packet, FTM HCI
// request) take any bytes, stay inside them and agree with the reference.
#include "diag/diag.h"
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>

namespace {

// The readers over bytes that may be anything.
void ReadAnything(const FuzzBytes& bytes) {
  const int n = (int)bytes.size();
  FuzzBytes packet(bytes.size() + 1);
  int length = -1;
  const DiagFrameResult result = DecodeDiagFrame(bytes.data(), n, packet.data(), &length);
  FuzzCheck(length >= 0 && length < n + 1, "decoded length outside the frame");
  if (result == DIAG_FRAME_OK) {
    FuzzCheck(bytes[n - 1] == DIAG_FLAG, "a frame decoded without its flag");
    // The decoder keeps the FCS bytes behind the packet it returns.
    FuzzCheck(ReferenceFcs(packet.data(), (size_t)length + 2) == DIAG_FCS_GOOD, "a frame decoded with a bad FCS");
  }
  LogPacketView log;
  if (ParseLogPacket(bytes.data(), bytes.size(), &log) == LOG_PACKET_OK) {
    FuzzCheck(log.payload == bytes.data() + LOG_HEADER_SIZE && log.length + LOG_HEADER_SIZE == bytes.size(),
              "a log packet's payload outside it");
  }
  uint8_t command[FTM_HCI_MAX_COMMAND];
  const int count = ParseFtmHciRequest(bytes.data(), n, command);
  FuzzCheck(count >= FTM_HCI_NOT_HCI && count <= FTM_HCI_MAX_COMMAND, "an FTM HCI command of an impossible length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceConsole();
  FuzzedDataProvider in(data, size);
  const int escape = in.ConsumeBool() ? 1 : 0;
  const int capacity = in.ConsumeIntegralInRange<int>(0, DIAG_FRAME_AREA);
  const int splitChoice = in.ConsumeIntegral<uint16_t>();
  const FuzzBytes packet = in.ConsumeRemainingBytes<uint8_t>();
  const int length = (int)packet.size();
  ReadAnything(packet);

  FuzzCheck(DiagFcs16(packet.data(), length, 0xFFFF) == ReferenceFcs(packet.data(), packet.size()),
            "FCS differs from the bit by bit FCS");

  // The frame's length as it must come out.
  FuzzBytes raw = packet;
  const uint16_t fcs = (uint16_t)~ReferenceFcs(packet.data(), packet.size());
  raw.push_back((uint8_t)(fcs & 0xFF));
  raw.push_back((uint8_t)(fcs >> 8));
  int needed = 1;
  for (uint8_t b : raw) needed += (escape && (b == DIAG_FLAG || b == DIAG_ESCAPE)) ? 2 : 1;

  std::unique_ptr<BYTE[]> frame(new BYTE[capacity > 0 ? capacity : 1]);
  const int n = EncodeDiagFrame(packet.empty() ? nullptr : packet.data(), length, escape, frame.get(), capacity);
  // The packet given as a head and a body, split anywhere, frames the same.
  const int split = splitChoice % (length + 1);
  std::unique_ptr<BYTE[]> headed(new BYTE[capacity > 0 ? capacity : 1]);
  const int headedLength = EncodeHeadedDiagFrame(split > 0 ? packet.data() : nullptr, split,
                                                 split < length ? packet.data() + split : nullptr, length - split,
                                                 escape, headed.get(), capacity);
  FuzzCheck(headedLength == n, "a head and a body frame to another length");
  FuzzCheck(n < 0 || std::equal(frame.get(), frame.get() + n, headed.get()), "a head and a body frame otherwise");
  if (length > DIAG_MAX_PACKET || needed > capacity) {
    FuzzCheck(n == -1, "frame accepted that does not fit or is too long");
    return 0;
  }
  FuzzCheck(n == needed, "frame of the wrong length");
  FuzzCheck(frame[n - 1] == DIAG_FLAG, "frame does not end in the flag");
  FuzzBytes decoded;
  for (int i = 0; i + 1 < n; ++i) {
    FuzzCheck(!escape || frame[i] != DIAG_FLAG, "flag inside an escaped frame");
    if (escape && frame[i] == DIAG_ESCAPE) {
      FuzzCheck(i + 2 < n, "escape byte at the frame end");
      decoded.push_back(frame[++i] ^ 0x20);
    } else {
      decoded.push_back(frame[i]);
    }
  }
  FuzzCheck(ReferenceFcs(decoded.data(), decoded.size()) == DIAG_FCS_GOOD, "decoded frame has a bad FCS");
  decoded.resize(decoded.size() - 2);
  FuzzCheck(decoded == packet, "decoded frame differs from the packet");
  if (escape && length > 0) {
    FuzzBytes again((size_t)n);
    int decodedLength = -1;
    FuzzCheck(DecodeDiagFrame(frame.get(), n, again.data(), &decodedLength) == DIAG_FRAME_OK, "frame did not decode");
    again.resize((size_t)decodedLength);
    FuzzCheck(again == packet, "the decoder differs from the reference");
  }
  return 0;
}
