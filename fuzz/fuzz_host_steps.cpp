// tarnexio-host's scripts: any text, in either mode, gives steps whose arguments keep
// their bounds, or one error that names what was wrong; never both, never a crash.
#include "fuzz_support.h"
#include "requests.h"
#include "steps.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const host::Mode mode = (data[0] & 1) ? host::Mode::DIAG : host::Mode::RAW;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<host::Step> steps;
  std::string error;
  const bool ok = host::ParseSteps(host::ScriptWords(text), mode, &steps, &error);
  FuzzCheck(ok == error.empty(), "an error with steps, or a failure without one");
  if (!ok) return 0;
  for (const host::Step& s : steps) {
    switch (s.kind) {
      case host::StepKind::COMMAND:
      case host::StepKind::LE_END:
        FuzzCheck(s.params.size() <= host::MaxCommandParams(mode), "parameters past what the mode carries");
        FuzzCheck(!host::CommandRequest(mode, s.opcode, s.params).empty(), "a command that encodes to nothing");
        break;
      case host::StepKind::SEND:
      case host::StepKind::RECEIVE:
        FuzzCheck(s.count >= 1, "a send or recv of no packets");
        FuzzCheck(s.givenData ? (!s.params.empty() && s.params.size() <= host::kMaxAclData)
                              : s.anySize || (s.sizeMin >= 1 && s.sizeMin <= s.sizeMax && s.sizeMax <= host::kMaxAclData),
                  "ACL sizes out of bounds");
        FuzzCheck(s.kind == host::StepKind::RECEIVE || mode == host::Mode::RAW, "a send in diag mode");
        break;
      case host::StepKind::CONNECT:
        FuzzCheck(s.params.empty() || s.params.size() == 6, "a BD_ADDR that is not 6 bytes");
        break;
      case host::StepKind::DISCONNECT:
        FuzzCheck(s.handle.fromRun || s.handle.value <= 0x0EFF, "a handle out of range");
        break;
      default:
        break;
    }
  }
  return 0;
}
