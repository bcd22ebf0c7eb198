// tarnexio-host's command line and steps: plain functions from words to what to do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

using Bytes = std::vector<uint8_t>;

enum class Mode { RAW, DIAG };

enum class StepKind {
  COMMAND,     // one HCI command, answered by its Command Complete or Command Status
  LE_END,      // LE Test End: a command whose answer carries the packet count
  WAIT,        // print what arrives for a while
  PING,        // round trips of Read BD_ADDR
  DIAG_REQUEST, // a diag request, answered by the reply with its code
  INQUIRY,     // inquiry for a while; lists the devices found
  CONNECT,     // Create Connection to a BD_ADDR, then its Connection Complete
  ACCEPT,      // from now on, every Connection Request is accepted
  DISCONNECT,  // Disconnect a handle, then its Disconnection Complete
  SEND,        // ACL packets on a handle, until the controller reports them all completed
  AWAIT,       // waits for an event by code
  RECEIVE,     // waits for ACL packets on a handle and checks them
};

// A connection handle as a step names it: a number, or the handle a step before took.
struct HandleArg {
  bool fromRun = false;  // "$handle"
  uint16_t value = 0;
};

struct Step {
  StepKind kind = StepKind::COMMAND;
  std::string name;      // the step as the user named it ("reset", "cmd", "le-tx", ...)
  uint16_t opcode = 0;   // Command, LeEnd
  Bytes params;          // Command
  uint32_t waitMs = 0;   // Wait
  int count = 0;         // Ping; Inquiry: the devices that end it early (0: its whole time)
  uint8_t diagCode = 0;  // DiagRequest
  // Inquiry: waitMs its time. Connect: params the BD_ADDR (wire order), or empty for the
  // first device the last inquiry found. Await: waitMs its time (0: --timeout).
  HandleArg handle;      // Disconnect, Send, Receive
  uint16_t sizeMin = 0, sizeMax = 0;  // Send, Receive: packet sizes rise evenly from min to max
  bool givenData = false;  // Send, Receive: every packet is params rather than the pattern
  bool anySize = false;    // Receive: no check of what arrives
  uint8_t eventCode = 0;   // Await
  uint8_t subevent = 0;    // Await of an LE Meta event: its subevent (0 any)
};

struct Options {
  Mode mode = Mode::RAW;
  bool json = false;
  uint32_t timeoutMs = 5000;
  uint32_t waitBridgeMs = 0;  // --wait-bridge: how long to try again while nothing listens
  std::string host;
  std::string port;
  std::string scriptPath;  // --script FILE: the steps come from the file
  std::vector<Step> steps;
};

// Reads the command line (without the program name). Steps given on the command line are
// parsed here; with --script the caller reads the file and calls ParseSteps. Returns
// false with *error set for a usage error.
bool ParseCommandLine(const std::vector<std::string>& args, Options* options, std::string* error);

// Parses step words (HCI and diag steps, in order) into *steps; false with *error naming
// the bad word.
bool ParseSteps(const std::vector<std::string>& words, Mode mode, std::vector<Step>* steps, std::string* error);

// What the steps ask of the steps before them: a $handle after a connect or an await, a
// connect to $found after an inquiry (its step, or the Inquiry or Periodic Inquiry Mode
// command). False with *error naming the first step that
// could only fail.
bool CheckStepOrder(const std::vector<Step>& steps, std::string* error);

// The words of a script: whitespace separated, '#' to the end of its line is a comment.
std::vector<std::string> ScriptWords(const std::string& text);

// The largest script --script reads: far more than any bench script.
constexpr size_t kMaxScriptBytes = size_t(1) << 20;

// Reads the script at path into *text: a regular file or a pipe of at most
// kMaxScriptBytes. False with *error saying why not (a device, a directory, too long).
bool ReadScript(const std::string& path, std::string* text, std::string* error);

// "0x0c03", "0c03" or "3:3" (OGF:OCF, each decimal or 0x hex).
bool ParseOpcode(const std::string& text, uint16_t* opcode);
// Hex bytes, two digits each: "0103", "01:03", "01-03" or "0x0103".
bool ParseHexBytes(const std::string& text, Bytes* bytes);

// The bytes of ACL packet k (counted from 0 within its step) of the given size in the
// pattern the send and recv steps share: byte j is (k + j) mod 256.
Bytes AclPattern(int k, size_t size);

// The longest ACL data a send step puts in one packet (the controller may allow less).
const size_t kMaxAclData = 1021;

// The longest parameter block a command may carry in each mode (the FTM HCI request of
// diag mode counts the type byte and command header in its one-byte length).
size_t MaxCommandParams(Mode mode);

extern const char kUsage[];

}  // namespace host
