// The FTM driver's devices and control codes.
#pragma once

#include "platform/platform.h"

#define BTFTM_DEVICE_TYPE 0x9600u
#define BTFTM_IOCTL(function) CTL_CODE(BTFTM_DEVICE_TYPE, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

constexpr DWORD IOCTL_BTFTM_READ_EVENT = BTFTM_IOCTL(0x963);
constexpr DWORD IOCTL_BTFTM_SEND_HCI_CMD = BTFTM_IOCTL(0x964);
constexpr DWORD IOCTL_BTFTM_ENABLE_FTM = BTFTM_IOCTL(0x965);
constexpr DWORD IOCTL_BTFTM_SEND_ACL = BTFTM_IOCTL(0x966);
constexpr DWORD IOCTL_BTFTM_READ_ACL = BTFTM_IOCTL(0x967);
constexpr DWORD IOCTL_BTFTM_SEND_SCO = BTFTM_IOCTL(0x968);
constexpr DWORD IOCTL_BTFTM_READ_SCO = BTFTM_IOCTL(0x969);
constexpr DWORD IOCTL_BTFTM_SELECT_SCO_INF = BTFTM_IOCTL(0x96A);

#define BTFTM_DEVICE_TYPE1 L"\\\\.\\ZELDROVE"
#define BTFTM_DEVICE_TYPE2 L"\\\\.\\btftmdriver"

// Buffer sizes of the requests.
enum {
  EVENT_READ_SIZE = 262,      // 5-byte type 2 header + the largest HCI event (257)
  ACL_READ_SIZE = 1028,       // 4 header bytes + 1024 data bytes
  TYPE2_EVENT_HEADER = 5,     // type 2 event replies start with this many header bytes
  TYPE2_EVENT_READ_INPUT = 4, // the 32-bit input value of a type 2 event read
  TYPE2_CMD_OUTPUT = 1,       // the 32-bit output value of a type 2 command write
};
