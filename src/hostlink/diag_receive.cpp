#include "hostlink/diag_receive.h"

#include "diag/diag.h"
#include "hostlink/raw_demux.h"

#include <cstring>

int DiagReceiveStep(BYTE* buf, int total, DiagResponder responder, HostSender* host, const DriverWriter& writer) {
  if (total <= 0) {
    return 0;
  }
  int start = 0;  // where the frame being gathered begins
  for (int i = 0; i < total; ++i) {
    if (buf[i] != DIAG_FLAG) {
      continue;
    }
    const int length = i + 1 - start;
    if (length > 1) {
      responder(host, buf + start, length, length, writer);
    }
    start = i + 1;
  }
  if (start == 0 && total >= HOST_RECV_CAPACITY) {
    print_message(L"BTFTM: No diag frame end in %d bytes from remote, dropping them\n", total);
    CountDrop(DropsOf(host), DROP_NO_FRAME_END);
    return 0;
  }
  const int kept = total - start;
  memmove(buf, buf + start, kept);
  return kept;
}
