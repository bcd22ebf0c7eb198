#include "steps.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "hci_names.h"

namespace host {

const char kUsage[] =
    "usage: tarnexio-host [--mode raw|diag] [--json] [--timeout SECONDS] HOST:PORT STEP...\n"
    "       tarnexio-host [--mode raw|diag] [--json] [--timeout SECONDS] HOST:PORT --script FILE\n"
    "       tarnexio-host --help | --version\n"
    "steps: reset  bdaddr  version  name  dut\n"
    "       le-tx CHANNEL LENGTH PAYLOAD [PHY]   le-rx CHANNEL [PHY]   le-end\n"
    "       cmd OPCODE [HEX]   (OPCODE as 0x0c03 or OGF:OCF, e.g. 3:3)\n"
    "       wait SECONDS   ping N\n"
    "       diag-version  diag-esn  diag-status   (diag mode)\n"
    "exit status: 0 all answered with success, 1 a command failed, 2 usage error,\n"
    "             3 connection failed or a step timed out\n";

namespace {

// A whole-word unsigned number, decimal or 0x hex, within [0, max].
bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty() || !std::isdigit((unsigned char)text[0])) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

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

Step CommandStep(const std::string& name, uint16_t opcode, Bytes params = {}) {
  Step s;
  s.kind = opcode == kOpLeTestEnd ? StepKind::LeEnd : StepKind::Command;
  s.name = name;
  s.opcode = opcode;
  s.params = std::move(params);
  return s;
}

Step DiagStep(const std::string& name, uint8_t code) {
  Step s;
  s.kind = StepKind::DiagRequest;
  s.name = name;
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

}  // namespace

size_t MaxCommandParams(Mode mode) { return mode == Mode::Diag ? 255 - 4 : 255; }

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
  auto bad = [&](const std::string& why) {
    *error = why;
    return false;
  };
  while (i < words.size()) {
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
      if (i < words.size() && ParseHexBytes(words[i], &params)) ++i;
      if (params.size() > MaxCommandParams(mode))
        return bad("cmd parameters are longer than " + std::to_string(MaxCommandParams(mode)) + " bytes");
      steps->push_back(CommandStep(word, opcode, params));
    } else if (word == "wait") {
      Step s;
      s.kind = StepKind::Wait;
      s.name = word;
      if (i >= words.size() || !ParseSeconds(words[i], &s.waitMs)) return bad("wait needs SECONDS (0-86400)");
      ++i;
      steps->push_back(s);
    } else if (word == "ping") {
      Step s;
      s.kind = StepKind::Ping;
      s.name = word;
      if (!TakeNumbers(words, &i, {1000000}, 1, &n) || n[0] == 0) return bad("ping needs N (1-1000000)");
      s.count = (int)n[0];
      steps->push_back(s);
    } else if (word == "diag-version" || word == "diag-esn" || word == "diag-status") {
      if (mode != Mode::Diag) return bad(word + " needs --mode diag");
      const uint8_t code = word == "diag-version" ? kDiagVersion : word == "diag-esn" ? kDiagEsn : kDiagStatus;
      steps->push_back(DiagStep(word, code));
    } else {
      return bad("unknown step '" + word + "'");
    }
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

bool ParseCommandLine(const std::vector<std::string>& args, Options* options, std::string* error) {
  size_t i = 0;
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-' && args[i][1] == '-'; ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      options->json = true;
    } else if (a == "--mode" && i + 1 < args.size() && (args[i + 1] == "raw" || args[i + 1] == "diag")) {
      options->mode = args[++i] == "diag" ? Mode::Diag : Mode::Raw;
    } else if (a == "--timeout" && i + 1 < args.size() && ParseSeconds(args[i + 1], &options->timeoutMs) &&
               options->timeoutMs > 0) {
      ++i;
    } else {
      *error = a == "--mode" ? "--mode needs raw or diag"
               : a == "--timeout" ? "--timeout needs SECONDS above 0"
                                  : "unknown option " + a;
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
    *error = "'" + target + "' is not HOST:PORT";
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
