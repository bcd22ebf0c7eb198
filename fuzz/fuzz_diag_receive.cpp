// The diag receive path fed arbitrary receives: each pass goes through DiagReceiveStep and
// each complete frame, one at a time, to HandleDiagRequest. Everything sent to the test
// host is checked: a frame carries a good FCS and ends in the flag; a loopback reply is a
// prefix of the request. Commands written to the controller stay within their area.
#include "core/host_send.h"
#include "diag/diag.h"
#include "fuzz_support.h"
#include "hostlink/diag_receive.h"
#include "hostlink/raw_demux.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>

namespace {

const BYTE* g_request = nullptr;  // the frame being answered
int g_requestLength = 0;

int CheckSend(void*, const BYTE* data, int len) {
  FuzzCheck(len > 0, "empty send to the test host");
  if (g_request != nullptr && g_request[0] == 0x7B) {
    // Loopback: the request's own bytes, up to and with its first flag.
    FuzzCheck(len <= 256, "loopback reply longer than its scan");
    FuzzCheck(memcmp(data, g_request, (size_t)len) == 0, "loopback reply differs from the request");
    return len;
  }
  FuzzCheck(data[len - 1] == DIAG_FLAG, "frame does not end in the flag");
  FuzzCheck(len >= 3, "frame shorter than its FCS and flag");
  FuzzCheck(ReferenceFcs(data, (size_t)len - 1) == DIAG_FCS_GOOD, "frame with a bad FCS");
  return len;
}

void OnCommand(void*, const BYTE* p, int n) {
  FuzzCheck(n >= 0 && n <= 255, "command length out of range");
  volatile BYTE sink = 0;
  for (int i = 0; i < n; ++i) sink ^= p[i];  // every byte readable
  (void)sink;
}
void OnData(void*, const BYTE*, int) { FuzzCheck(false, "diag mode wrote data"); }
void OnSelect(void*, BYTE) { FuzzCheck(false, "diag mode selected an SCO interface"); }
const DriverWriter kWriter = {nullptr, OnCommand, OnData, OnData, OnSelect};
const HostSendSeam kCheckedSend = {CheckSend, nullptr};

int Respond(HostSender* host, const BYTE* request, int length, int bufferSize, const DriverWriter& writer) {
  FuzzCheck(length >= 2 && length <= bufferSize, "frame empty or longer than its buffer");
  // One frame at a time: its flag closes it and no other flag is in it.
  FuzzCheck(request[length - 1] == DIAG_FLAG, "frame not closed by a flag");
  FuzzCheck(memchr(request, DIAG_FLAG, (size_t)length - 1) == nullptr, "two frames handed over as one");
  g_request = request;
  g_requestLength = length;
  const int r = HandleDiagRequest(host, request, length, bufferSize, writer);
  g_request = nullptr;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceConsole();
  HostSender host;
  SetHostSendSeam(&host, &kCheckedSend);
  FuzzedDataProvider in(data, size);
  std::unique_ptr<BYTE[]> buf(new BYTE[HOST_RECV_CAPACITY + 1]);
  memset(buf.get(), 0, HOST_RECV_CAPACITY + 1);
  int carry = 0;
  while (in.remaining_bytes() > 0) {
    const int room = HOST_RECV_CAPACITY - carry;
    FuzzBytes got = in.ConsumeBytes<uint8_t>((size_t)in.ConsumeIntegralInRange<int>(1, room));
    if (got.empty()) break;
    memset(buf.get() + carry, 0, (size_t)room);
    memcpy(buf.get() + carry, got.data(), got.size());
    const int total = carry + (int)got.size();
    buf[total] = 0;
    carry = DiagReceiveStep(buf.get(), total, Respond, &host, kWriter);
    FuzzCheck(carry >= 0 && carry < HOST_RECV_CAPACITY, "kept bytes out of range");
    FuzzCheck(carry == 0 || buf[0] != DIAG_FLAG, "kept bytes begin with a flag");
  }
  return 0;
}
