// ftmd's side of the device channel: arbitrary datagrams, and well-formed requests with
// arbitrary codes, sizes and contents, go through the request parser into the driver state
// of one connection with its simulated controller. Every reply must be a well-formed
// PENDING or COMPLETE, and no request completes twice.
#include "driver_model.h"
#include "fuzz_support.h"
#include "log.h"
#include "protocol.h"
#include "requests.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>

using namespace ftmd;

namespace {

const uint32_t kCodes[] = {IOCTL_BTFTM_READ_EVENT, IOCTL_BTFTM_SEND_HCI_CMD, IOCTL_BTFTM_ENABLE_FTM, IOCTL_BTFTM_SEND_ACL, IOCTL_BTFTM_READ_ACL, IOCTL_BTFTM_SEND_SCO, IOCTL_BTFTM_READ_SCO, IOCTL_BTFTM_SELECT_SCO_INF};
const uint32_t kSizes[] = {0, 4, 9, 262, 1028, 9 * 9, 9 * 17, 9 * 126};

struct Replies {
  std::set<uint32_t> open;            // ids answered PENDING and not completed yet
  std::map<uint32_t, int> unanswered;  // IOCTLs taken per id that have no COMPLETE yet
  void Check(const Bytes& m) {
    FuzzCheck(m.size() >= 8, "reply shorter than its header");
    const uint32_t kind = Le32(m.data()), id = Le32(m.data() + 4);
    if (kind == kMsgPending) {
      FuzzCheck(open.insert(id).second, "PENDING twice for one id");
      return;
    }
    FuzzCheck(kind == kMsgComplete && m.size() >= 16, "reply neither PENDING nor COMPLETE");
    open.erase(id);
    FuzzCheck(unanswered[id]-- > 0, "COMPLETE for a request that was already completed");
  }
};

Bytes Datagram(FuzzedDataProvider& in, std::set<uint32_t>& used) {
  const int shape = in.ConsumeIntegralInRange<int>(0, 9);
  if (shape == 0) return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40));
  Bytes b;
  const uint32_t id = in.ConsumeIntegralInRange<uint32_t>(0, 12);
  if (shape == 1) {
    PutLe32(b, kMsgCancel);
    PutLe32(b, id);
    return b;
  }
  PutLe32(b, kMsgIoctl);
  PutLe32(b, id);
  PutLe32(b, in.ConsumeBool() ? kCodes[in.ConsumeIntegralInRange<int>(0, 7)] : in.ConsumeIntegral<uint32_t>());
  PutLe32(b, in.ConsumeBool() ? kSizes[in.ConsumeIntegralInRange<int>(0, 7)] : in.ConsumeIntegralInRange<uint32_t>(0, 2000));
  Bytes input = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300));
  b.insert(b.end(), input.begin(), input.end());
  used.insert(id);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceConsole();
  FuzzedDataProvider in(data, size);
  DriverConfig cfg;
  cfg.type = in.ConsumeBool() ? 2 : 1;
  cfg.queueLimit = in.ConsumeIntegralInRange<size_t>(1, 8);
  cfg.pendingLimit = in.ConsumeIntegralInRange<size_t>(1, 8);
  ManualClock clock;
  TimerQueue timers(clock);
  Replies replies;
  std::set<uint32_t> used;
  {
    DriverModel model(cfg, timers, [&](Bytes m) { replies.Check(m); }, "fuzz");
    while (in.remaining_bytes() > 0) {
      if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
        model.endFtmMode();
        continue;
      }
      Bytes d = Datagram(in, used);
      Request r;
      // Parse from an exact-size copy, so that a read past the datagram is caught.
      std::unique_ptr<uint8_t[]> copy(new uint8_t[d.size() + 1]);
      if (!d.empty()) memcpy(copy.get(), d.data(), d.size());
      if (ParseDevchanRequest(copy.get(), d.size(), &r) == ParseResult::Ok) {
        // An IOCTL that reuses a pending id is dropped; any other is owed one COMPLETE.
        if (r.kind == kMsgIoctl && !replies.open.count(r.id)) ++replies.unanswered[r.id];
        FuzzCheck(r.kind != kMsgIoctl || (r.in == copy.get() + 16 && r.inLen == d.size() - 16), "input misplaced");
        model.handle(r);
      }
    }
    // Timers that are due now (controller answers with no delay) run too.
    timers.runDue();
  }
  return 0;
}
