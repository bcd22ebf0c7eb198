#include "hostlink/diag_receive.h"

#include "diag/diag.h"
#include "hostlink/raw_demux.h"

#include <cstring>

bool ClosesDiagFrame(const BYTE* buf, int total) {
  return (total >= 2 && buf[total - 1] == DIAG_FLAG) || (total >= 3 && buf[total - 2] == DIAG_FLAG);
}

int DiagReceiveStep(BYTE* buf, int total, DiagResponder responder, HostSender* host, const DriverWriter& writer) {
  if (total <= 0) {
    return 0;
  }
  if (ClosesDiagFrame(buf, total)) {
    responder(host, buf, total, HOST_RECV_CAPACITY, writer);
    return 0;
  }
  if (total >= HOST_RECV_CAPACITY) {
    print_message(L"BTFTM: No diag frame end in %d bytes from remote, dropping them\n", total);
    return 0;
  }
  int start = 0;
  while (start < total && buf[start] == DIAG_FLAG) {
    ++start;
  }
  const int kept = total - start;
  memmove(buf, buf + start, kept);
  return kept;
}
