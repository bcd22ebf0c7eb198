// The FTM driver's devices and control codes, under the names the bridge uses; the control
// codes are the contract's own (wire/ftm_contract.h).
#pragma once

#include "platform/platform.h"
#include "wire/ftm_contract.h"

using wire::IOCTL_BTFTM_READ_EVENT;
using wire::IOCTL_BTFTM_SEND_HCI_CMD;
using wire::IOCTL_BTFTM_ENABLE_FTM;
using wire::IOCTL_BTFTM_SEND_ACL;
using wire::IOCTL_BTFTM_READ_ACL;
using wire::IOCTL_BTFTM_SEND_SCO;
using wire::IOCTL_BTFTM_READ_SCO;
using wire::IOCTL_BTFTM_SELECT_SCO_INF;

// The system's own CTL_CODE must build the same numbers.
constexpr bool SystemControlCodesAgree() {
  for (uint32_t function = wire::kFirstFunction; function < wire::kFirstFunction + wire::kFunctionCount; ++function) {
    if (CTL_CODE(wire::kDeviceType, function, METHOD_BUFFERED, FILE_ANY_ACCESS) != wire::ControlCode(function))
      return false;
  }
  return true;
}
static_assert(SystemControlCodesAgree(), "CTL_CODE and the driver's control codes differ");

// The system's error numbers the device's requests complete with.
static_assert(ERROR_SUCCESS == wire::kStatusOk && ERROR_INVALID_FUNCTION == wire::kStatusInvalidFunction &&
                  ERROR_FILE_NOT_FOUND == wire::kStatusFileNotFound &&
                  ERROR_INVALID_HANDLE == wire::kStatusInvalidHandle && ERROR_SHARING_VIOLATION == wire::kStatusInUse &&
                  ERROR_BAD_COMMAND == wire::kStatusBadCommand &&
                  ERROR_INVALID_PARAMETER == wire::kStatusInvalidParameter &&
                  ERROR_OPERATION_ABORTED == wire::kStatusAborted && ERROR_IO_PENDING == wire::kStatusIoPending &&
                  ERROR_DEVICE_NOT_CONNECTED == wire::kStatusDeviceNotConnected,
              "the system's error numbers and the device's status numbers differ");
