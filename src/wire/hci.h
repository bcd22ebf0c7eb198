// HCI opcodes and event codes that more than one program here builds or reads: the
// simulated controller answers them, the test host tool sends and decodes them.
#pragma once

#include <cstdint>

enum : uint16_t {
  kOpInquiry = 0x0401,
  kOpInquiryCancel = 0x0402,
  kOpCreateConnection = 0x0405,
  kOpDisconnect = 0x0406,
  kOpAddScoConnection = 0x0407,
  kOpAcceptConnectionRequest = 0x0409,
  kOpSetupSyncConnection = 0x0428,
  kOpSetEventMask = 0x0C01,
  kOpReset = 0x0C03,
  kOpWriteLocalName = 0x0C13,
  kOpReadLocalName = 0x0C14,
  kOpWriteScanEnable = 0x0C1A,
  kOpReadLocalVersion = 0x1001,
  kOpReadBufferSize = 0x1005,
  kOpReadBdAddr = 0x1009,
  kOpWriteLoopbackMode = 0x1802,
  kOpEnableDutMode = 0x1803,
  kOpLeReceiverTest = 0x201D,
  kOpLeTransmitterTest = 0x201E,
  kOpLeTestEnd = 0x201F,
  kOpLeReceiverTestV2 = 0x2033,
  kOpLeTransmitterTestV2 = 0x2034,
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
