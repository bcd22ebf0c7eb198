// HCI opcodes and event codes that more than one program here builds or reads: the
// simulated controller answers them, the test host tool sends and decodes them.
#pragma once

#include <cstdint>

// An opcode is the command group (OGF) in its top six bits and the command (OCF) below.
constexpr uint16_t HciOpcode(uint16_t ogf, uint16_t ocf) { return uint16_t(ogf << 10 | ocf); }
constexpr uint16_t kOgfLinkControl = 0x01, kOgfBaseband = 0x03, kOgfInformational = 0x04, kOgfTesting = 0x06,
                   kOgfLe = 0x08;

// Inquiry and connections.
enum : uint16_t {
  kOpInquiry = HciOpcode(kOgfLinkControl, 0x001),  // LAP, length, response limit
  kOpInquiryCancel = HciOpcode(kOgfLinkControl, 0x002),
  kOpCreateConnection = HciOpcode(kOgfLinkControl, 0x005),  // address, packet types, ...
  kOpDisconnect = HciOpcode(kOgfLinkControl, 0x006),  // handle, reason
  kOpAddScoConnection = HciOpcode(kOgfLinkControl, 0x007),  // ACL handle, packet types
  kOpAcceptConnectionRequest = HciOpcode(kOgfLinkControl, 0x009),  // address, role
  kOpSetupSyncConnection = HciOpcode(kOgfLinkControl, 0x028),
};
// Controller set-up and the controller's own data.
enum : uint16_t {
  kOpSetEventMask = HciOpcode(kOgfBaseband, 0x001),
  kOpReset = HciOpcode(kOgfBaseband, 0x003),
  kOpWriteLocalName = HciOpcode(kOgfBaseband, 0x013),  // 248 bytes, zero-padded
  kOpReadLocalName = HciOpcode(kOgfBaseband, 0x014),
  kOpWriteScanEnable = HciOpcode(kOgfBaseband, 0x01A),  // 0x03: inquiry and page scan
  kOpReadLocalVersion = HciOpcode(kOgfInformational, 0x001),
  kOpReadBufferSize = HciOpcode(kOgfInformational, 0x005),
  kOpReadBdAddr = HciOpcode(kOgfInformational, 0x009),
};
// Test commands: loopback and device-under-test mode, the LE receiver and transmitter tests.
enum : uint16_t {
  kOpWriteLoopbackMode = HciOpcode(kOgfTesting, 0x002),  // 0 off, 1 local, 2 remote
  kOpEnableDutMode = HciOpcode(kOgfTesting, 0x003),
  kOpLeReceiverTest = HciOpcode(kOgfLe, 0x01D),  // RX channel
  kOpLeTransmitterTest = HciOpcode(kOgfLe, 0x01E),  // TX channel, length, payload
  kOpLeTestEnd = HciOpcode(kOgfLe, 0x01F),  // answers the packets received
  kOpLeReceiverTestV2 = HciOpcode(kOgfLe, 0x033),
  kOpLeTransmitterTestV2 = HciOpcode(kOgfLe, 0x034),
};

// Event codes, with the parameters read here.
enum : uint8_t {
  kEvInquiryComplete = 0x01,
  kEvInquiryResult = 0x02,
  kEvConnectionComplete = 0x03,       // status, handle, address, link type (byte 9)
  kEvConnectionRequest = 0x04,
  kEvDisconnectionComplete = 0x05,    // status, handle, reason
  kEvCommandComplete = 0x0E,          // packets allowed, opcode, return parameters
  kEvCommandStatus = 0x0F,            // status, packets allowed, opcode
  kEvRoleChange = 0x12,
  kEvNumCompletedPackets = 0x13,
  kEvModeChange = 0x14,
  kEvInquiryResultWithRssi = 0x22,
  kEvSyncConnectionComplete = 0x2C,   // status, handle, ...
  kEvExtendedInquiryResult = 0x2F,
  kEvLeMeta = 0x3E,
};

// The link type of a Connection Complete event (parameter byte 9).
enum : uint8_t { kLinkTypeSco = 0x00, kLinkTypeAcl = 0x01 };
