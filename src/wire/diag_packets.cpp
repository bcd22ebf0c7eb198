#include "wire/diag_packets.h"

#include "wire/diag_frame.h"

namespace {

const uint8_t kFtmHciHeader[4] = {kDiagSubsystem, 0x0B, 0x04, 0x00};
const uint8_t kLogConstant[6] = {0xE5, 0x62, 0x2A, 0xC5, 0xFF, 0x01};  // 0xC52A62E5, 0x01FF

uint8_t LogTypeOf(unsigned code) {
  switch (code) {
    case LOG_CODE_EVENT: return H4_EVENT;
    case LOG_CODE_ACL: return H4_ACL;
    case LOG_CODE_SCO: return H4_SCO;
    default: return 0;
  }
}

}  // namespace

std::vector<uint8_t> BuildFtmHciRequest(const uint8_t* h4Command, size_t length) {
  std::vector<uint8_t> request(kFtmHciHeader, kFtmHciHeader + sizeof kFtmHciHeader);
  request.resize(FTM_HCI_TYPE_OFFSET, 0);
  request[FTM_HCI_LENGTH_OFFSET] = (uint8_t)length;
  request.insert(request.end(), h4Command, h4Command + length);
  return request;
}

int ParseFtmHciRequest(const uint8_t* request, int bufferSize, uint8_t* command) {
  if (DiagRequestByte(request, bufferSize, FTM_HCI_TYPE_OFFSET) != H4_COMMAND) return FTM_HCI_NOT_HCI;
  for (int i = 1; i < (int)sizeof kFtmHciHeader; ++i) {
    if (DiagRequestByte(request, bufferSize, i) != kFtmHciHeader[i]) return FTM_HCI_NOT_HCI;
  }
  const int length = DiagRequestByte(request, bufferSize, FTM_HCI_LENGTH_OFFSET);
  if (length == 0) return FTM_HCI_EMPTY;
  const int count = length - 1;
  int in = FTM_HCI_COMMAND_OFFSET;
  for (int out = 0; out < count; ++out) {
    const uint8_t value = DiagRequestByte(request, bufferSize, in);
    const uint8_t next = DiagRequestByte(request, bufferSize, in + 1);
    if (value == DIAG_ESCAPE && (next == (DIAG_ESCAPE ^ DIAG_ESCAPE_XOR) || next == (DIAG_FLAG ^ DIAG_ESCAPE_XOR))) {
      command[out] = (uint8_t)(next ^ DIAG_ESCAPE_XOR);
      in += 2;
    } else {
      command[out] = value;
      in += 1;
    }
  }
  return count;
}

void WriteLogHeader(uint8_t* header, int payloadLength, uint16_t logCode, uint16_t tag) {
  const int counted = payloadLength + LOG_HEADER_SIZE - 4;
  header[0] = kDiagLog;
  header[1] = header[3] = (uint8_t)((counted >> 8) & 0xFF);
  header[2] = header[4] = (uint8_t)(counted & 0xFF);
  header[5] = 0x00;
  header[6] = (uint8_t)(logCode & 0xFF);
  header[7] = (uint8_t)(logCode >> 8);
  for (int i = 0; i < 6; ++i) header[8 + i] = kLogConstant[i];
  header[14] = (uint8_t)(tag & 0xFF);
  header[15] = (uint8_t)(tag >> 8);
}

LogPacketResult ParseLogPacket(const uint8_t* p, size_t n, LogPacketView* view) {
  if (n < LOG_HEADER_SIZE) return LOG_PACKET_SHORT;
  const size_t counted = n - 4;
  if (p[1] != ((counted >> 8) & 0xFF) || p[2] != (counted & 0xFF) || p[3] != p[1] || p[4] != p[2] || p[5] != 0)
    return LOG_PACKET_BAD_LENGTH;
  if (p[0] != kDiagLog) return LOG_PACKET_BAD_HEADER;
  for (int i = 0; i < 6; ++i)
    if (p[8 + i] != kLogConstant[i]) return LOG_PACKET_BAD_HEADER;
  const unsigned code = p[6] | p[7] << 8;
  const uint8_t type = LogTypeOf(code);
  if (type == 0 || p[14] != 0 || p[15] != type) return LOG_PACKET_UNKNOWN_CODE;
  view->code = (uint16_t)code;
  view->h4Type = type;
  view->payload = p + LOG_HEADER_SIZE;
  view->length = n - LOG_HEADER_SIZE;
  return LOG_PACKET_OK;
}
