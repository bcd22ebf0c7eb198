#include "run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>

#include "decode.h"
#include "hci_names.h"
#include "link.h"
#include "requests.h"
#include "text.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

class Runner {
 public:
  explicit Runner(const Options& options) : options_(options), receiver_(options.mode), buffer_(65536) {}

  int Run() {
    std::string error;
    if (!link_.Connect(options_.host, options_.port, &error)) return Fail("connect", "connection_failed", error);
    for (const Step& step : options_.steps) {
      const int status = RunStep(step);
      if (status != kExitOk) return status;
    }
    return kExitOk;
  }

 private:
  using Match = std::function<bool(const Decoded&)>;
  enum AwaitResult { kFound, kTimedOut, kLinkFailed };

  int RunStep(const Step& step) {
    switch (step.kind) {
      case StepKind::Command:
      case StepKind::LeEnd:
        return Exchange(step, CommandRequest(options_.mode, step.opcode, step.params), AnswersCommand(step.opcode));
      case StepKind::DiagRequest: {
        const uint8_t code = step.diagCode;
        return Exchange(step, DiagCodeRequest(code),
                        [code](const Decoded& d) { return d.answers == Decoded::Diag && d.diagCode == code; });
      }
      case StepKind::Wait: {
        Decoded unused;
        const AwaitResult r = Await([](const Decoded&) { return false; },
                                    Clock::now() + std::chrono::milliseconds(step.waitMs), true, &unused);
        return r == kLinkFailed ? Fail(step.name, "connection_lost", linkError_) : kExitOk;
      }
      case StepKind::Ping:
        return Ping(step);
    }
    return kExitOk;
  }

  static Match AnswersCommand(uint16_t opcode) {
    return [opcode](const Decoded& d) { return d.answers == Decoded::Command && d.opcode == opcode; };
  }

  // Sends one request and waits for its answer; a command answered with a status other
  // than success fails the run.
  int Exchange(const Step& step, const Bytes& request, const Match& match) {
    std::string error;
    if (!link_.SendAll(request, &error)) return Fail(step.name, "connection_lost", error);
    Decoded answer;
    const AwaitResult r = Await(match, Deadline(), true, &answer);
    if (r != kFound) return Lost(step, r);
    if (answer.answers == Decoded::Command && answer.status != 0) {
      ReportFailure(step, answer.status);
      return kExitFailed;
    }
    return kExitOk;
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
      if (r != kFound) return Lost(step, r);
      if (answer.status != 0) {
        Show(answer);
        ReportFailure(step, answer.status);
        return kExitFailed;
      }
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
    return kExitOk;
  }

  Clock::time_point Deadline() const { return Clock::now() + std::chrono::milliseconds(options_.timeoutMs); }

  // Shows everything that arrives until an item matches (shown when showMatch) or the
  // deadline passes. Items behind the match stay queued for the next wait.
  AwaitResult Await(const Match& match, Clock::time_point deadline, bool showMatch, Decoded* found) {
    for (;;) {
      while (!queued_.empty()) {
        const Decoded d = DecodeIncoming(queued_.front());
        queued_.pop_front();
        const bool matched = match(d);
        if (!matched || showMatch) Show(d);
        if (matched) {
          *found = d;
          return kFound;
        }
      }
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return kTimedOut;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      const int n = link_.Receive(buffer_.data(), (int)buffer_.size(), (uint32_t)left, &linkError_);
      if (n < 0) return kLinkFailed;
      std::vector<Incoming> items;
      receiver_.Feed(buffer_.data(), (size_t)n, &items);
      for (Incoming& item : items) queued_.push_back(std::move(item));
    }
  }

  int Lost(const Step& step, AwaitResult r) {
    if (r == kLinkFailed) return Fail(step.name, "connection_lost", linkError_);
    return Fail(step.name, "timeout", Format("no answer within %.3g s", options_.timeoutMs / 1000.0));
  }

  void ReportFailure(const Step& step, uint8_t status) {
    const std::string text = Format("%s failed: %s (0x%02x)", step.name.c_str(), StatusName(status), status);
    if (options_.json) {
      PrintLine(JsonLine().Str("kind", "failed").Str("step", step.name).Num("status", status).Str(
                    "status_name", StatusName(status)).Done());
    } else {
      PrintLine("tarnexio-host: " + text, true);
    }
  }

  int Fail(const std::string& step, const char* what, const std::string& detail) {
    if (options_.json) {
      PrintLine(JsonLine().Str("kind", "error").Str("step", step).Str("error", what).Str("detail", detail).Done());
    } else {
      PrintLine("tarnexio-host: " + step + ": " + detail, true);
    }
    return kExitLink;
  }

  void Show(const Decoded& d) {
    if (!d.text.empty()) Show(d.text, d.json);
  }
  void Show(const std::string& text, const std::string& json) { PrintLine(options_.json ? json : text); }

  const Options& options_;
  Link link_;
  Receiver receiver_;
  Bytes buffer_;
  std::deque<Incoming> queued_;
  std::string linkError_;
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
