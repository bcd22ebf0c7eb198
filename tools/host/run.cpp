#include "run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "decode.h"
#include "hci_names.h"
#include "link.h"
#include "requests.h"
#include "text.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

// Inquiry lengths are counted in units of 1.28 s, 0x30 at most. The controller is asked for
// this many units more than the inquiry step waits, so that the step's Inquiry Cancel comes
// well before the controller's own end even on a slow link.
const uint32_t kInquiryUnitMs = 1280;
const uint32_t kInquiryMaxUnits = 0x30;
const uint32_t kInquiryExtraUnits = 4;
const uint8_t kErrCommandDisallowed = 0x0C;

class Runner {
 public:
  explicit Runner(const Options& options) : options_(options), receiver_(options.mode), buffer_(65536) {
    for (const Step& step : options.steps) keepAcl_ = keepAcl_ || step.kind == StepKind::RECEIVE;
  }

  int Run() {
    std::string error;
    // With --wait-bridge, a bridge that is still starting is tried again until it listens.
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(options_.waitBridgeMs);
    while (!link_.Connect(options_.host, options_.port, &error)) {
      if (Clock::now() >= giveUp) return Fail("connect", "connection_failed", error);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (const Step& step : options_.steps) {
      const int status = RunStep(step);
      if (status != EXIT_OK) return status;
    }
    return EXIT_OK;
  }

 private:
  using Match = std::function<bool(const Decoded&)>;
  enum AwaitResult { AWAIT_FOUND, AWAIT_TIMED_OUT, AWAIT_LINK_FAILED, AWAIT_FAILED_STATUS };

  int RunStep(const Step& step) {
    switch (step.kind) {
      case StepKind::COMMAND:
      case StepKind::LE_END:
        return Exchange(step, CommandRequest(options_.mode, step.opcode, step.params), AnswersCommand(step.opcode));
      case StepKind::DIAG_REQUEST: {
        const uint8_t code = step.diagCode;
        return Exchange(step, DiagCodeRequest(code),
                        [code](const Decoded& d) { return d.answers == Decoded::DIAG && d.diagCode == code; });
      }
      case StepKind::WAIT: {
        Decoded unused;
        const AwaitResult r = Await([](const Decoded&) { return false; },
                                    Clock::now() + std::chrono::milliseconds(step.waitMs), true, &unused);
        return r == AWAIT_TIMED_OUT ? EXIT_OK : Finish(step, r, unused);
      }
      case StepKind::PING: return Ping(step);
      case StepKind::INQUIRY: return Inquiry(step);
      case StepKind::CONNECT: return Connect(step);
      case StepKind::ACCEPT:
        accepting_ = true;
        return EXIT_OK;
      case StepKind::DISCONNECT: return Disconnect(step);
      case StepKind::SEND: return Send(step);
      case StepKind::AWAIT: return AwaitEvent(step);
      case StepKind::RECEIVE: return Receive(step);
    }
    return EXIT_OK;
  }

  static Match AnswersCommand(uint16_t opcode) {
    return [opcode](const Decoded& d) { return d.answers == Decoded::COMMAND && d.opcode == opcode; };
  }

  // What a wait ended with, as the step's exit status.
  int Finish(const Step& step, AwaitResult r, const Decoded& d) {
    if (r == AWAIT_FOUND) return EXIT_OK;
    if (r == AWAIT_FAILED_STATUS) {
      ReportFailure(step, d.status);
      return EXIT_FAILED;
    }
    return Lost(step, r);
  }

  // Sends one request and waits for its answer; a command answered with a status other
  // than success fails the run.
  int Exchange(const Step& step, const Bytes& request, const Match& match, Decoded* answer = nullptr) {
    std::string error;
    if (!link_.SendAll(request, &error)) return Fail(step.name, "connection_lost", error);
    Decoded found;
    const AwaitResult r = Await(match, Deadline(), true, &found);
    if (answer != nullptr) *answer = found;
    return Finish(step, r, found);
  }

  int Command(const Step& step, uint16_t opcode, const Bytes& params, Decoded* answer = nullptr) {
    return Exchange(step, CommandRequest(options_.mode, opcode, params), AnswersCommand(opcode), answer);
  }

  int Ping(const Step& step) {
    std::vector<long long> micros;
    const Bytes request = CommandRequest(options_.mode, kOpReadBdAddr, {});
    for (int i = 0; i < step.count; ++i) {
      std::string error;
      const Clock::time_point start = Clock::now();
      if (!link_.SendAll(request, &error)) return Fail(step.name, "connection_lost", error);
      Decoded answer;
      const AwaitResult r = Await(AnswersCommand(kOpReadBdAddr), Deadline(), false, &answer);
      const Clock::time_point end = Clock::now();
      if (r != AWAIT_FOUND) return Finish(step, r, answer);
      micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
    }
    const PingSummary s = SummarisePing(micros);
    Show(Format("ping: %d round trips, min %s us, median %s us, p99 %s us, max %s us", step.count,
                std::to_string(s.min).c_str(), std::to_string(s.median).c_str(), std::to_string(s.p99).c_str(),
                std::to_string(s.max).c_str()),
         JsonLine()
             .Str("kind", "ping")
             .Num("count", step.count)
             .Num("min_us", s.min)
             .Num("median_us", s.median)
             .Num("p99_us", s.p99)
             .Num("max_us", s.max)
             .Done());
    return EXIT_OK;
  }

  // Inquiry with the general inquiry access code, any number of responses, for the step's
  // time or until as many devices as it asks for have answered; lists the devices found.
  // The controller is asked for a longer inquiry than the step waits, and the step ends it
  // with Inquiry Cancel: no inquiry of this tool runs its whole length on the controller,
  // and none goes on after the step (BlueZ's emulated controller, btvirt, frees the timer
  // that is running when an inquiry ends on its own, and may crash a while later).
  int Inquiry(const Step& step) {
    const uint32_t waitMs = std::min(step.waitMs, (kInquiryMaxUnits - 1) * kInquiryUnitMs);
    const uint32_t units = std::min(kInquiryMaxUnits, (waitMs + kInquiryUnitMs - 1) / kInquiryUnitMs + kInquiryExtraUnits);
    found_.clear();
    int status = Command(step, kOpInquiry, {0x33, 0x8B, 0x9E, (uint8_t)units, 0x00});
    if (status != EXIT_OK) return status;
    const size_t enough = step.count > 0 ? (size_t)step.count : SIZE_MAX;
    Decoded done;
    const AwaitResult r = Await(
        [this, enough](const Decoded& d) { return d.event == kEvInquiryComplete || found_.size() >= enough; },
        Clock::now() + std::chrono::milliseconds(waitMs), true, &done);
    const bool endedItself = (r == AWAIT_FOUND || r == AWAIT_FAILED_STATUS) && done.event == kEvInquiryComplete;
    if (r == AWAIT_LINK_FAILED) return Finish(step, r, done);
    if (!endedItself) {
      // Its time is up, enough devices answered, or another event failed: the inquiry
      // still runs, and ends here. A failure before it stays the step's failure.
      status = CancelInquiry(step);
      if (r == AWAIT_FAILED_STATUS) return Finish(step, r, done);
      if (status != EXIT_OK) return status;
    } else if ((status = Finish(step, r, done)) != EXIT_OK) {
      return status;
    }
    std::string text, list;
    for (const std::string& a : found_) {
      text += (text.empty() ? ": " : ", ") + a;
      list += (list.empty() ? "" : ",") + JsonString(a);
    }
    Show(Format("inquiry: %u device%s found", (unsigned)found_.size(), found_.size() == 1 ? "" : "s") + text,
         JsonLine().Str("kind", "inquiry").Raw("devices", "[" + list + "]").Done());
    return EXIT_OK;
  }

  // Inquiry Cancel, answered by its Command Complete. An inquiry that ended on its own
  // meanwhile (its Inquiry Complete comes first) leaves nothing to cancel, so the refusal
  // that follows (Command Disallowed) is no failure.
  int CancelInquiry(const Step& step) {
    std::string error;
    if (!link_.SendAll(CommandRequest(options_.mode, kOpInquiryCancel, {}), &error))
      return Fail(step.name, "connection_lost", error);
    const Match answer = AnswersCommand(kOpInquiryCancel);
    bool ended = false;
    for (;;) {
      Decoded d;
      const AwaitResult r = Await([&answer](const Decoded& e) { return answer(e) || e.event == kEvInquiryComplete; },
                                  Deadline(), true, &d);
      if (r == AWAIT_FOUND && d.event == kEvInquiryComplete) {
        ended = true;
        continue;
      }
      if (r == AWAIT_FAILED_STATUS && ended && answer(d) && d.status == kErrCommandDisallowed) return EXIT_OK;
      return Finish(step, r, d);
    }
  }

  int Connect(const Step& step) {
    Bytes addr = step.params;
    if (addr.empty()) {
      if (found_.empty()) return Fail(step.name, "nothing_found", "$found: no inquiry before this step found a device");
      ParseHexBytes(found_.front(), &addr);
      std::reverse(addr.begin(), addr.end());
    }
    // Packet types DM1 DH1 DM3 DH3 DM5 DH5, page scan repetition mode R1, no clock offset,
    // role switch allowed.
    Bytes params = addr;
    for (uint8_t b : {0x18, 0xCC, 0x01, 0x00, 0x00, 0x00, 0x01}) params.push_back(b);
    int status = Command(step, kOpCreateConnection, params);
    if (status != EXIT_OK) return status;
    // Paging alone may take 5.12 s, the usual page timeout.
    Decoded done;
    const AwaitResult r = Await(
        [&addr](const Decoded& d) { return d.event == kEvConnectionComplete && d.peer == addr; },
        Deadline() + std::chrono::seconds(10), true, &done);
    if ((status = Finish(step, r, done)) == EXIT_OK) handle_ = done.handle;
    return status;
  }

  // The handle a step names; false (the run fails) when it is $handle and no step took one.
  bool ResolveHandle(const Step& step, uint16_t* handle) {
    if (!step.handle.fromRun) {
      *handle = step.handle.value;
      return true;
    }
    if (handle_ < 0) return false;
    *handle = (uint16_t)handle_;
    return true;
  }

  int NoHandle(const Step& step) {
    return Fail(step.name, "no_handle", "$handle: no connect or await before this step took a connection handle");
  }

  int Disconnect(const Step& step) {
    uint16_t h;
    if (!ResolveHandle(step, &h)) return NoHandle(step);
    // Reason: Remote User Terminated Connection.
    int status = Command(step, kOpDisconnect, {(uint8_t)(h & 0xFF), (uint8_t)(h >> 8), 0x13});
    if (status != EXIT_OK) return status;
    Decoded done;
    const AwaitResult r = Await(
        [h](const Decoded& d) { return d.event == kEvDisconnectionComplete && d.handle == h; }, Deadline(), true,
        &done);
    return Finish(step, r, done);
  }

  // Waits, showing what arrives, until done() holds; at once when it already does.
  AwaitResult AwaitState(const std::function<bool()>& done, Decoded* last) {
    if (done()) return AWAIT_FOUND;
    return Await([&done](const Decoded&) { return done(); }, Deadline(), true, last);
  }

  int Send(const Step& step) {
    uint16_t h;
    if (!ResolveHandle(step, &h)) return NoHandle(step);
    int status = EXIT_OK;
    if (aclBuffers_ == 0) {
      Decoded size;
      if ((status = Command(step, kOpReadBufferSize, {}, &size)) != EXIT_OK) return status;
      const Bytes& r = size.returned;
      if (r.size() < 8 || (r[4] | r[5] << 8) == 0)
        return Fail(step.name, "no_buffers", "the controller reports no ACL buffers (Read Buffer Size)");
      aclMtu_ = (size_t)(r[1] | r[2] << 8);
      aclBuffers_ = aclFree_ = r[4] | r[5] << 8;
    }
    closed_.erase(h);
    size_t bytes = 0;
    Decoded last;
    for (int k = 0; k < step.count; ++k) {
      const Bytes data = step.givenData ? step.params : AclPattern(k, PacketSize(step, k));
      if (data.size() > aclMtu_) {
        return Fail(step.name, "too_long", Format("a packet of %u bytes is longer than the controller's ACL buffer "
                                                  "(%u bytes)", (unsigned)data.size(), (unsigned)aclMtu_));
      }
      const AwaitResult r = AwaitState([this, h] { return aclFree_ > 0 || closed_.count(h); }, &last);
      if (r == AWAIT_TIMED_OUT) return SendTimeout(step, h, k);
      if (r != AWAIT_FOUND) return Finish(step, r, last);
      if (closed_.count(h)) return SendClosed(step, h, k);
      std::string error;
      if (!link_.SendAll(AclRequest(h, data), &error)) return Fail(step.name, "connection_lost", error);
      --aclFree_;
      ++outstanding_[h];
      bytes += data.size();
    }
    const AwaitResult r = AwaitState([this, h] { return outstanding_[h] == 0 || closed_.count(h); }, &last);
    if (r == AWAIT_TIMED_OUT) return SendTimeout(step, h, step.count);
    if (r != AWAIT_FOUND) return Finish(step, r, last);
    if (closed_.count(h)) return SendClosed(step, h, step.count);
    Show(Format("send: %d packet%s, %u bytes on handle 0x%04x, all completed", step.count, step.count == 1 ? "" : "s",
                (unsigned)bytes, h),
         JsonLine().Str("kind", "sent").Num("handle", h).Num("packets", step.count).Num("bytes", (long long)bytes)
             .Done());
    return EXIT_OK;
  }

  // Sizes rise evenly from the least to the greatest over the step's packets.
  static size_t PacketSize(const Step& step, int k) {
    if (step.count < 2) return step.sizeMin;
    const size_t span = (size_t)(step.sizeMax - step.sizeMin);
    return step.sizeMin + (span * (size_t)k + (size_t)(step.count - 1) / 2) / (size_t)(step.count - 1);
  }

  int SendTimeout(const Step& step, uint16_t h, int sent) {
    return Fail(step.name, "timeout",
                Format("%d of %d packets sent on handle 0x%04x, %d not reported completed within %.3g s", sent,
                       step.count, h, outstanding_[h], options_.timeoutMs / 1000.0));
  }

  int SendClosed(const Step& step, uint16_t h, int sent) {
    PrintFailure(step, Format("handle 0x%04x was disconnected after %d of %d packets", h, sent, step.count),
                 JsonLine().Str("kind", "failed").Str("step", step.name).Str("error", "disconnected").Num("handle", h)
                     .Num("sent", sent).Done());
    return EXIT_FAILED;
  }

  int AwaitEvent(const Step& step) {
    const uint8_t code = step.eventCode, sub = step.subevent;
    const Match match = [code, sub](const Decoded& d) {
      return d.event == code && (sub == 0 || d.subevent == sub);
    };
    Decoded found;
    AwaitResult r = AWAIT_TIMED_OUT;
    // An event that came during an earlier step, and that no step waited for, counts.
    for (auto it = unclaimed_.begin(); it != unclaimed_.end(); ++it) {
      if (match(*it)) {
        found = *it;
        unclaimed_.erase(it);
        r = AWAIT_FOUND;
        break;
      }
    }
    if (r != AWAIT_FOUND) {
      const uint32_t ms = step.waitMs != 0 ? step.waitMs : options_.timeoutMs;
      r = Await(match, Clock::now() + std::chrono::milliseconds(ms), true, &found);
      if (r == AWAIT_TIMED_OUT) {
        return Fail(step.name, "timeout", Format("no event 0x%02x within %.3g s", code, ms / 1000.0));
      }
    }
    if (r == AWAIT_FOUND && found.handle >= 0) handle_ = found.handle;
    return Finish(step, r, found);
  }

  int Receive(const Step& step) {
    uint16_t h;
    if (!ResolveHandle(step, &h)) return NoHandle(step);
    size_t bytes = 0;
    Decoded last;
    for (int k = 0; k < step.count; ++k) {
      auto next = [this, h] {
        return std::find_if(inbox_.begin(), inbox_.end(), [h](const Received& p) { return p.handle == h; });
      };
      const AwaitResult r = AwaitState([&] { return next() != inbox_.end(); }, &last);
      if (r == AWAIT_TIMED_OUT) {
        return Fail(step.name, "timeout", Format("%d of %d packets arrived on handle 0x%04x; no more within %.3g s",
                                                 k, step.count, h, options_.timeoutMs / 1000.0));
      }
      if (r != AWAIT_FOUND) return Finish(step, r, last);
      const auto it = next();
      const Bytes data = it->data;
      inbox_.erase(it);
      bytes += data.size();
      if (step.anySize) continue;
      const Bytes expected = step.givenData ? step.params : AclPattern(k, PacketSize(step, k));
      if (data != expected) {
        const size_t at = (size_t)(std::mismatch(data.begin(), data.begin() + (long)std::min(data.size(), expected.size()),
                                                 expected.begin()).first - data.begin());
        const std::string why = data.size() != expected.size()
                                    ? Format("packet %d of %d on handle 0x%04x holds %u bytes, not %u", k + 1,
                                             step.count, h, (unsigned)data.size(), (unsigned)expected.size())
                                    : Format("packet %d of %d on handle 0x%04x differs from what was sent at byte %u",
                                             k + 1, step.count, h, (unsigned)at);
        PrintFailure(step, why, JsonLine().Str("kind", "failed").Str("step", step.name).Str("error", "not_as_sent")
                                    .Num("handle", h).Num("packet", k + 1).Str("detail", why).Done());
        return EXIT_FAILED;
      }
    }
    Show(Format("recv: %d packet%s, %u bytes on handle 0x%04x%s", step.count, step.count == 1 ? "" : "s",
                (unsigned)bytes, h, step.anySize ? "" : ", each as sent"),
         JsonLine().Str("kind", "received").Num("handle", h).Num("packets", step.count).Num("bytes", (long long)bytes)
             .Str("checked", step.anySize ? "no" : "as_sent").Done());
    return EXIT_OK;
  }

  Clock::time_point Deadline() const { return Clock::now() + std::chrono::milliseconds(options_.timeoutMs); }

  // Keeps what later steps need of each item that arrives: completed packets, the data
  // for recv, devices found, connection requests to accept, events for await. false
  // when an answer could not be sent.
  bool Observe(const Decoded& d) {
    for (const auto& c : d.completed) {
      int& out = outstanding_[c.first];
      const int n = std::min<int>(c.second, out);
      out -= n;
      aclFree_ += n;
    }
    if (d.event == kEvDisconnectionComplete && d.hasStatus && d.status == 0 && d.handle >= 0) {
      // The controller drops what it still held for the link; its buffers are free again.
      const uint16_t h = (uint16_t)d.handle;
      aclFree_ += outstanding_[h];
      outstanding_[h] = 0;
      closed_.insert(h);
    }
    for (const std::string& a : d.found)
      if (std::find(found_.begin(), found_.end(), a) == found_.end()) found_.push_back(a);
    if (d.acl && keepAcl_) {
      const bool continuing = (d.aclFlags & 0x3) == 0x1;
      if (continuing && !inbox_.empty() && inbox_.back().handle == d.handle) {
        inbox_.back().data.insert(inbox_.back().data.end(), d.data.begin(), d.data.end());
      } else {
        inbox_.push_back({(uint16_t)d.handle, d.data});
      }
    }
    if (accepting_ && d.event == kEvConnectionRequest && d.linkType == 1) {
      Bytes accept = d.peer;
      accept.push_back(0x01);  // stay peripheral: the one who connects stays central
      if (!link_.SendAll(CommandRequest(options_.mode, kOpAcceptConnectionRequest, accept), &linkError_)) return false;
    }
    return true;
  }

  // Shows everything that arrives until an item matches (shown when showMatch) or the
  // deadline passes. Items behind the match stay queued for the next wait. An event with
  // a failing status ends the wait whatever it answers.
  AwaitResult Await(const Match& match, Clock::time_point deadline, bool showMatch, Decoded* found) {
    for (;;) {
      while (!queued_.empty()) {
        const Incoming item = std::move(queued_.front());
        queued_.pop_front();
        const Decoded d = DecodeIncoming(item);
        NoticeOtherMode(item);
        if (!Observe(d)) return AWAIT_LINK_FAILED;
        const bool failed = d.hasStatus && d.status != 0;
        const bool matched = match(d);
        if (!matched || showMatch || failed) Show(d);
        if (failed || matched) {
          *found = d;
          return failed ? AWAIT_FAILED_STATUS : AWAIT_FOUND;
        }
        if (d.event != 0 && d.answers == Decoded::NOTHING) {
          unclaimed_.push_back(d);
          if (unclaimed_.size() > 256) unclaimed_.pop_front();
        }
      }
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return AWAIT_TIMED_OUT;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      const int n = link_.Receive(buffer_.data(), (int)buffer_.size(), (uint32_t)left, &linkError_);
      if (n < 0) return AWAIT_LINK_FAILED;
      if (received_ < sizeof firstBytes_) {
        const size_t k = std::min(sizeof firstBytes_ - received_, (size_t)n);
        std::copy(buffer_.data(), buffer_.data() + k, firstBytes_ + received_);
      }
      received_ += (size_t)n;
      std::vector<Incoming> items;
      receiver_.Feed(buffer_.data(), (size_t)n, &items);
      for (Incoming& item : items) queued_.push_back(std::move(item));
    }
  }

  // Bytes that fit the other mode: a diag frame in raw mode, H4 packets in diag mode.
  void NoticeOtherMode(const Incoming& item) {
    if (item.kind != Incoming::PROBLEM || hinted_) return;
    const Bytes& b = item.bytes;
    if (options_.mode == Mode::RAW && std::find(b.begin(), b.end(), 0x7E) != b.end()) {
      Hint("what came back looks like diag frames, not H4 packets: try --mode diag");
    } else if (options_.mode == Mode::DIAG && !b.empty() && LooksLikeH4(b.data(), b.size())) {
      Hint("what came back looks like H4 packets, not diag frames: try --mode raw");
    }
  }

  static bool LooksLikeH4(const uint8_t* p, size_t n) {
    return n >= 3 && p[0] == H4_EVENT && (p[1] == kEvCommandComplete || p[1] == kEvCommandStatus);
  }

  void Hint(const std::string& text) {
    hinted_ = true;
    if (options_.json) {
      PrintLine(JsonLine().Str("kind", "hint").Str("hint", text).Done());
    } else {
      PrintLine("tarnexio-host: " + text, true);
    }
  }

  int Lost(const Step& step, AwaitResult r) {
    if (r == AWAIT_LINK_FAILED) return Fail(step.name, "connection_lost", linkError_);
    std::string detail = Format("no answer within %.3g s", options_.timeoutMs / 1000.0);
    const char* other = options_.mode == Mode::RAW ? "diag" : "raw";
    if (received_ == 0) {
      detail += Format("; nothing at all came back: a bridge in %s mode stays silent to %s requests, so try --mode %s",
                       other, options_.mode == Mode::RAW ? "raw" : "diag", other);
    } else if (options_.mode == Mode::DIAG && !hinted_ && LooksLikeH4(firstBytes_, std::min(received_, sizeof firstBytes_))) {
      detail += "; what came back looks like H4 packets, not diag frames: try --mode raw";
    }
    return Fail(step.name, "timeout", detail);
  }

  void ReportFailure(const Step& step, uint8_t status) {
    PrintFailure(step, Format("%s (0x%02x)", StatusName(status), status),
                 JsonLine().Str("kind", "failed").Str("step", step.name).Num("status", status).Str(
                     "status_name", StatusName(status)).Done());
  }

  void PrintFailure(const Step& step, const std::string& why, const std::string& json) {
    if (options_.json) {
      PrintLine(json);
    } else {
      PrintLine("tarnexio-host: " + step.name + " failed: " + why, true);
    }
  }

  int Fail(const std::string& step, const char* what, const std::string& detail) {
    if (options_.json) {
      PrintLine(JsonLine().Str("kind", "error").Str("step", step).Str("error", what).Str("detail", detail).Done());
    } else {
      PrintLine("tarnexio-host: " + step + ": " + detail, true);
    }
    return EXIT_LINK;
  }

  void Show(const Decoded& d) {
    if (!d.text.empty()) Show(d.text, d.json);
  }
  void Show(const std::string& text, const std::string& json) { PrintLine(options_.json ? json : text); }

  struct Received {
    uint16_t handle;
    Bytes data;
  };

  const Options& options_;
  Link link_;
  Receiver receiver_;
  Bytes buffer_;
  std::deque<Incoming> queued_;
  std::string linkError_;
  size_t received_ = 0;       // bytes received on the connection so far
  uint8_t firstBytes_[8] = {};
  bool hinted_ = false;
  bool keepAcl_ = false;      // a recv step will want the ACL data that arrives
  bool accepting_ = false;
  int handle_ = -1;           // $handle
  std::vector<std::string> found_;  // devices the last inquiry found, in order
  std::deque<Decoded> unclaimed_;   // events no step waited for, the latest last
  std::deque<Received> inbox_;      // ACL data not yet taken by recv
  size_t aclMtu_ = 0;
  int aclBuffers_ = 0, aclFree_ = 0;  // the controller's ACL buffers, and those not in use
  std::map<uint16_t, int> outstanding_;  // packets sent and not yet reported completed
  std::set<uint16_t> closed_;            // handles disconnected since their send began
};

}  // namespace

void PrintLine(const std::string& line, bool toError) {
  FILE* stream = toError ? stderr : stdout;
  const std::string whole = line + "\n";
  std::fwrite(whole.data(), 1, whole.size(), stream);
  std::fflush(stream);
}

PingSummary SummarisePing(std::vector<long long> micros) {
  PingSummary s;
  if (micros.empty()) return s;
  std::sort(micros.begin(), micros.end());
  const size_t n = micros.size();
  auto rank = [&](double p) { return micros[(size_t)std::max(1.0, std::ceil(p * (double)n)) - 1]; };
  s.min = micros.front();
  s.median = rank(0.5);
  s.p99 = rank(0.99);
  s.max = micros.back();
  return s;
}

int RunSteps(const Options& options) { return Runner(options).Run(); }

}  // namespace host
