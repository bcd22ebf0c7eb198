// The diag responder: answers one received frame by the request code in its first byte.
#include "diag/canned_replies.h"
#include "diag/diag.h"

namespace {

enum { LOOPBACK_SCAN = 256 };  // the closing flag of a loopback request is looked for here

void SendCannedReply(HostSender* host, const CannedReply& reply, int verbose) {
  DiagPrintToStream(host, reply.bytes, reply.length, 0, verbose);
}

// The received bytes go back as they came, up to and with the first flag; without a
// flag among the first bytes only the request code goes back.
int AnswerLoopback(HostSender* host, const BYTE* request, int bufferSize) {
  int replyLength = 1;
  for (int i = 0; i < LOOPBACK_SCAN && i < bufferSize; ++i) {
    if (request[i] == DIAG_FLAG) {
      replyLength = i + 1;
      break;
    }
  }
  if (SendToTestHost(host, request, replyLength) != replyLength) {
    print_message(L"BTFTM : diagProtLoopback ... send failed\n");
    return 0;
  }
  return 1;
}

// The lines of an answered request count against the bounds of the peer's lines; false
// when they are not to be printed.
bool ShowAnswerLines(HostSender* host) { return ShowPeerLine(PeerLinesOf(host), PEER_LINE_DIAG_ANSWER); }

void AnswerLogMask(HostSender* host, const BYTE* request, int bufferSize) {
  const int shown = ShowAnswerLines(host) ? 1 : 0;
  if (shown) print_message(L"BTFTM : Log Mask\n");
  switch (DiagRequestByte(request, bufferSize, 4)) {
    case 1:
      SendCannedReply(host, kLogMaskOp1Reply, shown);
      break;
    case 4:
      SendCannedReply(host, kLogMaskOp4Reply, shown);
      break;
    default:
      break;
  }
}

// The whole frame is echoed inside a new unescaped frame, then its HCI command, if it
// carries one, goes to the controller.
void AnswerSubsystemRequest(HostSender* host, const BYTE* request, int length, int bufferSize,
                            const DriverWriter& writer) {
  const int echoLength = length < bufferSize ? length : bufferSize;
  DiagPrintToStream(host, request, echoLength, 0, 0);
  HandleFtmHciCommand(request, bufferSize, writer, DropsOf(host));
}

// The requests answered by one console line (or none) and one canned reply.
struct CannedAnswer {
  BYTE code;
  const wchar_t* line;  // nullptr: nothing printed
  const CannedReply* reply;
  int verbose;
};

const CannedAnswer kCannedAnswers[] = {
    {kDiagVersion, nullptr, &kVersionReply, 0},
    {kDiagEsn, L"BTFTM : echo for esn\n", &kEsnReply, 1},
    {kDiagStatus, L"BTFTM : echo for status\n", &kStatusReply, 1},
    {kDiagNvItemRead, L"BTFTM : echo for nvItemRead\n", &kNvItemReadReply, 1},
    {kDiagPhoneState, L"BTFTM : echo for phoneState\n", &kPhoneStateReply, 1},
};

}  // namespace

int HandleDiagRequest(HostSender* host, const BYTE* request, int length, int bufferSize, const DriverWriter& writer) {
  const BYTE code = DiagRequestByte(request, bufferSize, 0);
  for (const CannedAnswer& answer : kCannedAnswers) {
    if (answer.code != code) continue;
    const bool shown = (answer.line == nullptr && answer.verbose == 0) || ShowAnswerLines(host);
    if (answer.line != nullptr && shown) print_message(L"%ls", answer.line);
    SendCannedReply(host, *answer.reply, shown ? answer.verbose : 0);
    return 1;
  }
  switch (code) {
    case kDiagSubsystem:
      AnswerSubsystemRequest(host, request, length, bufferSize, writer);
      break;
    case kDiagLogMask:
      AnswerLogMask(host, request, bufferSize);
      break;
    case kDiagLoopback:
      return AnswerLoopback(host, request, bufferSize);
    case kDiagExtendedBuildId:
      if (ShowAnswerLines(host)) print_message(L"BTFTM : echo for extendedBuildID\n");
      break;
    default:
      if (ShowAnswerLines(host)) print_message(L"BTFTM :In default\n");
      break;
  }
  return 1;
}
