#include "steps.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "hci_names.h"
#include "text.h"

namespace host {

const char kUsage[] =
    "usage: tarnexio-host [OPTION...] HOST:PORT STEP...\n"
    "       tarnexio-host [OPTION...] HOST:PORT --script FILE\n"
    "options: --mode raw|diag         the bridge's mode (raw by default)\n"
    "         --json                  one JSON object per line\n"
    "         --timeout SECONDS       the longest wait for an answer (5 by default)\n"
    "         --wait-bridge SECONDS   try to connect again while no bridge listens yet\n"
    "         -h, --help              this text\n"
    "         --version               the version, on one line\n"
    "steps: reset  bdaddr  version  name  set-name NAME  dut\n"
    "       le-tx CHANNEL LENGTH PAYLOAD [PHY]   le-rx CHANNEL [PHY]   le-end\n"
    "       cmd OPCODE [HEX...]   (OPCODE as 0x0c03 or OGF:OCF, e.g. 3:3)\n"
    "       wait SECONDS   ping N\n"
    "       scan   inquiry SECONDS [DEVICES]   connect BD_ADDR|$found   accept   disconnect HANDLE\n"
    "       send HANDLE COUNT SIZE|MIN-MAX|data HEX...   (raw mode)\n"
    "       recv HANDLE COUNT [SIZE|MIN-MAX|data HEX...]\n"
    "       await EVENT [SECONDS]   (EVENT a name such as connection-complete, or a code)\n"
    "       diag-version  diag-esn  diag-status   (diag mode)\n"
    "       (HANDLE: a number, or $handle for the handle of the last connect or await)\n"
    "exit status: 0 all answered with success, 1 a command or an event failed, 2 usage error,\n"
    "             3 connection failed or a step timed out\n";

namespace {

bool ParseSeconds(const std::string& text, uint32_t* ms) {
  if (text.empty() || !(std::isdigit((unsigned char)text[0]) || text[0] == '.')) return false;
  char* end = nullptr;
  const double s = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(s >= 0 && s <= 86400)) return false;
  *ms = (uint32_t)(s * 1000 + 0.5);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = (char)std::tolower((unsigned char)c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

Step NamedStep(StepKind kind, const std::string& name) {
  Step s;
  s.kind = kind;
  s.name = name;
  return s;
}

Step CommandStep(const std::string& name, uint16_t opcode, Bytes params = {}) {
  Step s = NamedStep(opcode == kOpLeTestEnd ? StepKind::LE_END : StepKind::COMMAND, name);
  s.opcode = opcode;
  s.params = std::move(params);
  return s;
}

Step DiagStep(const std::string& name, uint8_t code) {
  Step s = NamedStep(StepKind::DIAG_REQUEST, name);
  s.diagCode = code;
  return s;
}

// Takes up to max numbers from words at *i that fit their bounds; stops at the first word
// that is not a number. The first `required` of them must be there.
bool TakeNumbers(const std::vector<std::string>& words, size_t* i, const std::vector<unsigned long>& bounds,
                 size_t required, std::vector<unsigned long>* out) {
  for (size_t k = 0; k < bounds.size() && *i < words.size(); ++k) {
    unsigned long v;
    if (!ParseNumber(words[*i], bounds[k], &v)) {
      if (k < required) return false;
      break;
    }
    out->push_back(v);
    ++*i;
  }
  return out->size() >= required;
}

// "$handle" or a connection handle (0-0xEFF).
bool ParseHandle(const std::string& text, HandleArg* handle) {
  unsigned long v;
  if (text == "$handle") {
    handle->fromRun = true;
    return true;
  }
  if (!ParseNumber(text, 0x0EFF, &v)) return false;
  handle->value = (uint16_t)v;
  return true;
}

// "12:34:56:78:9A:BC" into wire order.
bool ParseBdAddr(const std::string& text, Bytes* addr) {
  Bytes b;
  if (text.size() != 17 || !ParseHexBytes(text, &b) || b.size() != 6) return false;
  for (size_t i = 2; i < 17; i += 3)
    if (text[i] != ':') return false;
  addr->assign(b.rbegin(), b.rend());
  return true;
}

// A word made only of what hex bytes are written with, so meant as parameter bytes.
bool LooksLikeHex(const std::string& word) {
  size_t start = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') ? 2 : 0;
  if (start == word.size()) return false;
  for (size_t i = start; i < word.size(); ++i)
    if (HexDigit(word[i]) < 0 && word[i] != ':' && word[i] != '-') return false;
  return true;
}

// Hex bytes in one word or several, up to the first word that is not hex; false with
// *bad set to a word that is hex digits but not whole bytes.
bool TakeHexWords(const std::vector<std::string>& words, size_t* i, Bytes* out, std::string* bad) {
  while (*i < words.size() && LooksLikeHex(words[*i])) {
    Bytes more;
    if (!ParseHexBytes(words[*i], &more)) {
      *bad = words[*i];
      return false;
    }
    out->insert(out->end(), more.begin(), more.end());
    ++*i;
  }
  return true;
}

// What the ACL packets of a send or recv step hold: SIZE, MIN-MAX, or data HEX...
bool TakeAclShape(const std::vector<std::string>& words, size_t* i, Step* s, std::string* bad) {
  if (*i >= words.size()) return false;
  const std::string& w = words[*i];
  if (w == "data") {
    ++*i;
    std::string oddWord;
    if (!TakeHexWords(words, i, &s->params, &oddWord) || s->params.empty() || s->params.size() > kMaxAclData) {
      *bad = oddWord;
      return false;
    }
    s->givenData = true;
    return true;
  }
  const size_t dash = w.find('-');
  unsigned long lo, hi;
  if (!ParseNumber(w.substr(0, dash), kMaxAclData, &lo)) return false;
  hi = lo;
  if (dash != std::string::npos && !ParseNumber(w.substr(dash + 1), kMaxAclData, &hi)) return false;
  if (lo == 0 || hi < lo) return false;
  s->sizeMin = (uint16_t)lo;
  s->sizeMax = (uint16_t)hi;
  ++*i;
  return true;
}

}  // namespace

Bytes AclPattern(int k, size_t size) {
  Bytes b(size);
  for (size_t j = 0; j < size; ++j) b[j] = (uint8_t)((size_t)k + j);
  return b;
}

size_t MaxCommandParams(Mode mode) { return mode == Mode::DIAG ? 255 - 4 : 255; }

bool ParseOpcode(const std::string& text, uint16_t* opcode) {
  const size_t colon = text.find(':');
  unsigned long v, ogf, ocf;
  if (colon == std::string::npos) {
    std::string hex = text;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex = hex.substr(2);
    if (hex.empty() || hex.size() > 4 || !ParseNumber("0x" + hex, 0xFFFF, &v)) return false;
    *opcode = (uint16_t)v;
    return true;
  }
  if (!ParseNumber(text.substr(0, colon), 0x3F, &ogf) || !ParseNumber(text.substr(colon + 1), 0x3FF, &ocf))
    return false;
  *opcode = (uint16_t)(ogf << 10 | ocf);
  return true;
}

bool ParseHexBytes(const std::string& text, Bytes* bytes) {
  std::string digits;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) start = 2;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':' || c == '-') {
      if (digits.size() % 2 != 0) return false;  // a separator splits whole bytes only
      continue;
    }
    if (HexDigit(c) < 0) return false;
    digits.push_back(c);
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes->push_back((uint8_t)(HexDigit(digits[i]) << 4 | HexDigit(digits[i + 1])));
  return true;
}

bool ParseSteps(const std::vector<std::string>& words, Mode mode, std::vector<Step>* steps, std::string* error) {
  size_t i = 0;
  // The words come from a script or a command line: they are shown as Printable text.
  auto bad = [&](const std::string& why) {
    *error = Printable(why);
    return false;
  };
  size_t previous = 0;  // where the step before this one began
  for (size_t start = 0; i < words.size(); previous = start) {
    start = i;
    const std::string word = words[i++];
    std::vector<unsigned long> n;
    if (word == "reset") {
      steps->push_back(CommandStep(word, kOpReset));
    } else if (word == "bdaddr") {
      steps->push_back(CommandStep(word, kOpReadBdAddr));
    } else if (word == "version") {
      steps->push_back(CommandStep(word, kOpReadLocalVersion));
    } else if (word == "name") {
      steps->push_back(CommandStep(word, kOpReadLocalName));
    } else if (word == "dut") {
      steps->push_back(CommandStep(word, kOpEnableDutMode));
    } else if (word == "le-tx") {
      // channel 0-39, length 0-255, payload 0-7, PHY 1-4 (1M, 2M, coded S=8, coded S=2)
      if (!TakeNumbers(words, &i, {39, 255, 7, 4}, 3, &n) || (n.size() == 4 && n[3] == 0))
        return bad("le-tx needs CHANNEL (0-39) LENGTH (0-255) PAYLOAD (0-7) [PHY (1-4)]");
      Bytes p = {(uint8_t)n[0], (uint8_t)n[1], (uint8_t)n[2]};
      if (n.size() == 4) p.push_back((uint8_t)n[3]);
      steps->push_back(CommandStep(word, n.size() == 4 ? kOpLeTransmitterTestV2 : kOpLeTransmitterTest, p));
    } else if (word == "le-rx") {
      // channel 0-39, PHY 1-3 (1M, 2M, coded); v2 also takes the modulation index: standard
      if (!TakeNumbers(words, &i, {39, 3}, 1, &n) || (n.size() == 2 && n[1] == 0))
        return bad("le-rx needs CHANNEL (0-39) [PHY (1-3)]");
      if (n.size() == 1) {
        steps->push_back(CommandStep(word, kOpLeReceiverTest, {(uint8_t)n[0]}));
      } else {
        steps->push_back(CommandStep(word, kOpLeReceiverTestV2, {(uint8_t)n[0], (uint8_t)n[1], 0}));
      }
    } else if (word == "le-end") {
      steps->push_back(CommandStep(word, kOpLeTestEnd));
    } else if (word == "cmd") {
      uint16_t opcode;
      if (i >= words.size() || !ParseOpcode(words[i], &opcode))
        return bad("cmd needs OPCODE (0x0c03 or OGF:OCF such as 3:3)");
      ++i;
      Bytes params;
      std::string odd;
      if (!TakeHexWords(words, &i, &params, &odd))
        return bad("cmd needs parameter bytes of two hex digits each, not '" + odd + "'");
      if (params.size() > MaxCommandParams(mode))
        return bad("cmd parameters are longer than " + std::to_string(MaxCommandParams(mode)) + " bytes");
      steps->push_back(CommandStep(word, opcode, params));
    } else if (word == "wait") {
      Step s = NamedStep(StepKind::WAIT, word);
      if (i >= words.size() || !ParseSeconds(words[i], &s.waitMs)) return bad("wait needs SECONDS (0-86400)");
      ++i;
      steps->push_back(s);
    } else if (word == "ping") {
      Step s = NamedStep(StepKind::PING, word);
      if (!TakeNumbers(words, &i, {1000000}, 1, &n) || n[0] == 0) return bad("ping needs N (1-1000000)");
      s.count = (int)n[0];
      steps->push_back(s);
    } else if (word == "set-name") {
      // Write Local Name: the name, zero-terminated, in its 248-byte field.
      if (i >= words.size() || words[i].size() > 247) return bad("set-name needs NAME (one word, up to 247 bytes)");
      Bytes name(words[i].begin(), words[i].end());
      ++i;
      name.resize(248, 0);
      steps->push_back(CommandStep(word, kOpWriteLocalName, name));
    } else if (word == "scan") {
      steps->push_back(CommandStep(word, kOpWriteScanEnable, {0x03}));  // inquiry and page scan
    } else if (word == "inquiry") {
      Step s = NamedStep(StepKind::INQUIRY, word);
      const std::string expected = "inquiry needs SECONDS (above 0, up to 60) [DEVICES (1-255)]";
      if (i >= words.size() || !ParseSeconds(words[i], &s.waitMs) || s.waitMs == 0 || s.waitMs > 60000)
        return bad(expected);
      ++i;
      unsigned long devices = 0;
      if (i < words.size() && std::isdigit((unsigned char)words[i][0])) {
        if (!ParseNumber(words[i], 255, &devices) || devices == 0) return bad(expected);
        ++i;
      }
      s.count = (int)devices;
      steps->push_back(s);
    } else if (word == "connect") {
      Step s = NamedStep(StepKind::CONNECT, word);
      if (i >= words.size() || (words[i] != "$found" && !ParseBdAddr(words[i], &s.params)))
        return bad("connect needs BD_ADDR (such as 12:34:56:78:9A:BC) or $found");
      ++i;
      steps->push_back(s);
    } else if (word == "accept") {
      Step s = NamedStep(StepKind::ACCEPT, word);
      steps->push_back(s);
    } else if (word == "disconnect") {
      Step s = NamedStep(StepKind::DISCONNECT, word);
      if (i >= words.size() || !ParseHandle(words[i], &s.handle))
        return bad("disconnect needs HANDLE (0-0xeff, or $handle)");
      ++i;
      steps->push_back(s);
    } else if (word == "send" || word == "recv") {
      Step s = NamedStep(word == "send" ? StepKind::SEND : StepKind::RECEIVE, word);
      const std::string shape = word == "send" ? " SIZE, MIN-MAX or data HEX..." : " [SIZE, MIN-MAX or data HEX...]";
      const std::string expected = word + " needs HANDLE (0-0xeff, or $handle) COUNT (1-1000000)" + shape +
                                   " (sizes 1-" + std::to_string(kMaxAclData) + ")";
      if (!(i < words.size() && ParseHandle(words[i], &s.handle))) return bad(expected);
      ++i;
      if (!TakeNumbers(words, &i, {1000000}, 1, &n) || n[0] == 0) return bad(expected);
      s.count = (int)n[0];
      std::string odd;
      const size_t before = i;
      if (!TakeAclShape(words, &i, &s, &odd)) {
        if (!odd.empty()) return bad(word + " needs data bytes of two hex digits each, not '" + odd + "'");
        if (word == "send" || (before < words.size() && (words[before] == "data" || LooksLikeHex(words[before]))))
          return bad(expected);
        s.anySize = true;
      }
      if (word == "send" && mode == Mode::DIAG)
        return bad("send needs --mode raw: a diag bridge carries only HCI commands to the controller (recv works in "
                   "both modes)");
      steps->push_back(s);
    } else if (word == "await") {
      Step s = NamedStep(StepKind::AWAIT, word);
      if (i >= words.size() || !EventByName(words[i], &s.eventCode, &s.subevent))
        return bad("await needs EVENT: " + std::string(EventNameList()) + ", or an event code such as 0x05");
      ++i;
      if (i < words.size() && ParseSeconds(words[i], &s.waitMs)) {
        if (s.waitMs == 0) return bad("await needs SECONDS above 0");
        ++i;
      }
      steps->push_back(s);
    } else if (word == "diag-version" || word == "diag-esn" || word == "diag-status") {
      if (mode != Mode::DIAG) return bad(word + " needs --mode diag");
      const uint8_t code = word == "diag-version" ? kDiagVersion : word == "diag-esn" ? kDiagEsn : kDiagStatus;
      steps->push_back(DiagStep(word, code));
    } else {
      std::string after;
      for (size_t k = previous; k < start; ++k) after += (after.empty() ? "" : " ") + words[k];
      return bad("unknown step '" + word + "'" + (after.empty() ? "" : " after '" + after + "'"));
    }
  }
  return true;
}

bool ReadScript(const std::string& path, std::string* text, std::string* error) {
  const std::string shown = Printable(path);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot read script " + shown;
    return false;
  }
  struct stat st;
  if (fstat(fileno(file), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
    std::fclose(file);
    *error = "script " + shown + " is neither a regular file nor a pipe";
    return false;
  }
  text->clear();
  char buffer[8192];
  size_t n = 0;
  // One byte past the limit is read, to tell a script of the limit's size from a longer one.
  while (text->size() <= kMaxScriptBytes && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    text->append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = "cannot read script " + shown;
    return false;
  }
  if (text->size() > kMaxScriptBytes) {
    *error = "script " + shown + " is longer than " + std::to_string(kMaxScriptBytes) + " bytes";
    return false;
  }
  return true;
}

std::vector<std::string> ScriptWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool comment = false;
  for (char c : text) {
    if (c == '\n') comment = false;
    if (c == '#') comment = true;
    if (comment || std::isspace((unsigned char)c)) {
      if (!word.empty()) words.push_back(word);
      word.clear();
      continue;
    }
    word.push_back(c);
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool CheckStepOrder(const std::vector<Step>& steps, std::string* error) {
  bool handleTaken = false, inquired = false;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    const std::string where = "step " + std::to_string(i + 1) + " (" + step.name + ")";
    if (step.kind == StepKind::CONNECT && step.params.empty() && !inquired) {
      *error = where + " connects to $found, but no inquiry (an inquiry step, or cmd 0x0401) comes before it";
      return false;
    }
    const bool namesHandle =
        step.kind == StepKind::DISCONNECT || step.kind == StepKind::SEND || step.kind == StepKind::RECEIVE;
    if (namesHandle && step.handle.fromRun && !handleTaken) {
      *error = where + " uses $handle, but no connect or await comes before it to take one";
      return false;
    }
    // Inquiry and Periodic Inquiry Mode commands make results that any step may see.
    inquired = inquired || step.kind == StepKind::INQUIRY ||
               (step.kind == StepKind::COMMAND && (step.opcode == 0x0401 || step.opcode == 0x0403));
    handleTaken = handleTaken || step.kind == StepKind::CONNECT || step.kind == StepKind::AWAIT;
  }
  return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, Options* options, std::string* error) {
  size_t i = 0;
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-' && args[i][1] == '-'; ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      options->json = true;
    } else if (a == "--mode" && i + 1 < args.size() && (args[i + 1] == "raw" || args[i + 1] == "diag")) {
      options->mode = args[++i] == "diag" ? Mode::DIAG : Mode::RAW;
    } else if (a == "--timeout" && i + 1 < args.size() && ParseSeconds(args[i + 1], &options->timeoutMs) &&
               options->timeoutMs > 0) {
      ++i;
    } else if (a == "--wait-bridge" && i + 1 < args.size() && ParseSeconds(args[i + 1], &options->waitBridgeMs)) {
      ++i;
    } else {
      *error = a == "--mode" ? "--mode needs raw or diag"
               : a == "--timeout"     ? "--timeout needs SECONDS above 0"
               : a == "--wait-bridge" ? "--wait-bridge needs SECONDS"
                                  : "unknown option " + Printable(a);
      return false;
    }
  }
  if (i >= args.size()) {
    *error = "HOST:PORT is missing";
    return false;
  }
  const std::string& target = args[i++];
  const size_t colon = target.rfind(':');
  unsigned long port;
  if (colon == std::string::npos || colon == 0 || !ParseNumber(target.substr(colon + 1), 65535, &port) ||
      port == 0) {
    *error = "'" + Printable(target) + "' is not HOST:PORT";
    return false;
  }
  options->host = target.substr(0, colon);
  if (options->host.size() > 2 && options->host.front() == '[' && options->host.back() == ']')
    options->host = options->host.substr(1, options->host.size() - 2);
  options->port = std::to_string(port);

  if (i < args.size() && args[i] == "--script") {
    if (i + 2 != args.size()) {
      *error = "--script takes one FILE and no steps beside it";
      return false;
    }
    options->scriptPath = args[i + 1];
    return true;
  }
  if (i >= args.size()) {
    *error = "no steps given";
    return false;
  }
  return ParseSteps(std::vector<std::string>(args.begin() + (long)i, args.end()), options->mode, &options->steps,
                    error);
}

}  // namespace host
