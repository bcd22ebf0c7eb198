// The FTM driver's contract as both sides see it: device names, control codes, request
// buffer sizes, SCO slot units and the status numbers requests complete with. The
// bridge's driver layer, ftmd and every test peer take their numbers from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The two device names, as macros so that the narrow name and the wide path share one
// literal.
#define WIRE_TYPE1_DEVICE_NAME "ZELDROVE"
#define WIRE_TYPE2_DEVICE_NAME "btftmdriver"

namespace wire {

constexpr char kType1DeviceName[] = WIRE_TYPE1_DEVICE_NAME;
constexpr char kType2DeviceName[] = WIRE_TYPE2_DEVICE_NAME;
constexpr wchar_t kType1DevicePath[] = L"\\\\.\\" WIRE_TYPE1_DEVICE_NAME;
constexpr wchar_t kType2DevicePath[] = L"\\\\.\\" WIRE_TYPE2_DEVICE_NAME;

// Control codes: device type 0x9600, buffered transfer, any access (both 0).
constexpr uint32_t kDeviceType = 0x9600;
constexpr uint32_t kMethodBuffered = 0;
constexpr uint32_t kAnyAccess = 0;
constexpr uint32_t ControlCode(uint32_t function) {
  return kDeviceType << 16 | kAnyAccess << 14 | function << 2 | kMethodBuffered;
}

// The driver's functions are consecutive numbers, in this order.
constexpr uint32_t kFirstFunction = 0x963;
constexpr uint32_t kFunctionCount = 8;

enum : uint32_t {
  IOCTL_BTFTM_READ_EVENT = ControlCode(kFirstFunction),
  IOCTL_BTFTM_SEND_HCI_CMD = ControlCode(kFirstFunction + 1),
  IOCTL_BTFTM_ENABLE_FTM = ControlCode(kFirstFunction + 2),
  IOCTL_BTFTM_SEND_ACL = ControlCode(kFirstFunction + 3),
  IOCTL_BTFTM_READ_ACL = ControlCode(kFirstFunction + 4),
  IOCTL_BTFTM_SEND_SCO = ControlCode(kFirstFunction + 5),
  IOCTL_BTFTM_READ_SCO = ControlCode(kFirstFunction + 6),
  IOCTL_BTFTM_SELECT_SCO_INF = ControlCode(kFirstFunction + 7),
};

// Buffer sizes and fixed values of the requests.
constexpr uint32_t kType2HeaderSize = 5;     // a type 2 event reply starts with this many header bytes
constexpr uint32_t kMaxEventSize = 257;      // event code, length, 255 parameter bytes
constexpr uint32_t kEventReadSize = kType2HeaderSize + kMaxEventSize;  // 262
constexpr uint32_t kAclHeaderSize = 4;       // handle and flags, data length
constexpr uint32_t kAclMaxData = 1024;
constexpr uint32_t kAclReadSize = kAclHeaderSize + kAclMaxData;  // 1028
constexpr uint32_t kType2EventInput = 4;     // the 32-bit input value of a type 2 event read
constexpr uint32_t kType2CmdOutput = 1;      // the 32-bit output value of a type 2 command write
constexpr uint32_t kType2CmdOutSize = 4;     // ... and its size

// Slot unit of each SCO interface id. An SCO read's reply is three slots of three units.
constexpr uint32_t kScoSlotUnit[8] = {0, 9, 17, 25, 33, 49, 63, 126};
constexpr uint8_t kMaxScoInterface = 7;
enum : int {
  kScoSlotsPerRead = 3,
  kScoUnitsPerSlot = 3,
  kScoReadUnits = kScoSlotsPerRead * kScoUnitsPerSlot,
};

// The SCO packet length (data length + 3) that selects each interface id; 0 for the ids
// no packet selects. The packet of ids 1 to 5 fills one slot; that of id 6 (60 data
// bytes) is one unit long, a third of its slot.
constexpr uint8_t kLastSizedScoInterface = 6;
constexpr int ScoPacketLength(uint8_t id) {
  return id >= 1 && id < kLastSizedScoInterface ? int(kScoUnitsPerSlot * kScoSlotUnit[id])
         : id == kLastSizedScoInterface         ? int(kScoSlotUnit[id])
                                                : 0;
}
// The interface id an SCO packet of packetLength bytes (data length + 3) selects, or 0.
constexpr uint8_t ScoInterfaceForPacketLength(int packetLength) {
  for (uint8_t id = 1; id <= kLastSizedScoInterface; ++id) {
    if (ScoPacketLength(id) == packetLength) return id;
  }
  return 0;
}
static_assert(ScoInterfaceForPacketLength(27) == 1 && ScoInterfaceForPacketLength(147) == 5 &&
                  ScoInterfaceForPacketLength(63) == 6 && ScoInterfaceForPacketLength(189) == 0,
              "60 data bytes select interface 6");

// Windows error numbers a request completes with.
enum : uint32_t {
  // a request's own end
  kStatusOk = 0,                     // ERROR_SUCCESS
  kStatusIoPending = 997,            // ERROR_IO_PENDING: not yet, the event tells when
  kStatusAborted = 995,              // ERROR_OPERATION_ABORTED: cancelled, or its handle closed
  // refusals of the request itself
  kStatusInvalidFunction = 1,        // ERROR_INVALID_FUNCTION
  kStatusBadCommand = 22,            // ERROR_BAD_COMMAND
  kStatusInvalidParameter = 87,      // ERROR_INVALID_PARAMETER
  kStatusBusy = 170,                 // ERROR_BUSY
  kStatusInUse = 32,                 // ERROR_SHARING_VIOLATION: another client holds the controller
  kStatusNoResources = 1450,         // ERROR_NO_SYSTEM_RESOURCES
  // the device is not there, or no longer
  kStatusFileNotFound = 2,           // ERROR_FILE_NOT_FOUND
  kStatusInvalidHandle = 6,          // ERROR_INVALID_HANDLE
  kStatusNotReady = 21,              // ERROR_NOT_READY
  kStatusDeviceNotConnected = 1167,  // ERROR_DEVICE_NOT_CONNECTED
};

// Little-endian integers of the contract's messages.
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void PutLe32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void PutLe16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

}  // namespace wire
