#include "requests.h"

namespace ftmd {

const char* codeName(uint32_t code) {
  switch (code) {
    case kReadEvent: return "READ_EVENT";
    case kSendHciCmd: return "SEND_HCI_CMD";
    case kEnableFtm: return "ENABLE_FTM";
    case kSendAcl: return "SEND_ACL";
    case kReadAcl: return "READ_ACL";
    case kSendSco: return "SEND_SCO";
    case kReadSco: return "READ_SCO";
    case kSelectScoInf: return "SELECT_SCO_INF";
    default: return "?";
  }
}

}  // namespace ftmd
