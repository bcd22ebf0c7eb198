#include "requests.h"

namespace ftmd {

const char* codeName(uint32_t code) {
  switch (code) {
    case IOCTL_BTFTM_READ_EVENT: return "READ_EVENT";
    case IOCTL_BTFTM_SEND_HCI_CMD: return "SEND_HCI_CMD";
    case IOCTL_BTFTM_ENABLE_FTM: return "ENABLE_FTM";
    case IOCTL_BTFTM_SEND_ACL: return "SEND_ACL";
    case IOCTL_BTFTM_READ_ACL: return "READ_ACL";
    case IOCTL_BTFTM_SEND_SCO: return "SEND_SCO";
    case IOCTL_BTFTM_READ_SCO: return "READ_SCO";
    case IOCTL_BTFTM_SELECT_SCO_INF: return "SELECT_SCO_INF";
    default: return "?";
  }
}

}  // namespace ftmd
