// Typed views of the HCI packets whose fields the bridge reads: each field by name, with
// where the Bluetooth Core (v5.4) lays it out as "Vol 4, Part E, section". A view is read
// from the bytes of one packet without its H4 type byte; a reader that is given fewer
// bytes than its fields need returns false and reads nothing past the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/hci.h"

// The status every event below carries first: 0x00 is success, anything else an error
// code (Vol 1, Part F).
constexpr uint8_t kHciStatusSuccess = 0x00;

// An event packet (Vol 4, Part E, 5.4.4).
struct HciEvent {
  uint8_t code;            // event code
  uint8_t paramLength;     // parameter total length
  const uint8_t* params;   // paramLength bytes
};
// The event of length bytes at packet: false when fewer bytes than its header and the
// parameters its length byte announces.
bool ReadHciEvent(const uint8_t* packet, size_t length, HciEvent* event);

// Connection Complete (Vol 4, Part E, 7.7.3), 11 parameter bytes.
struct ConnectionComplete {
  uint8_t status;
  uint16_t handle;              // Connection_Handle, 12 bits used
  const uint8_t* peerAddress;   // BD_ADDR, 6 bytes, least significant first
  uint8_t linkType;             // kLinkTypeSco or kLinkTypeAcl
  uint8_t encryptionEnabled;    // Encryption_Enabled
};
bool ReadConnectionComplete(const HciEvent& event, ConnectionComplete* view);

// Synchronous Connection Complete (Vol 4, Part E, 7.7.35), 17 parameter bytes.
struct SyncConnectionComplete {
  uint8_t status;
  uint16_t handle;                  // Connection_Handle, 12 bits used
  const uint8_t* peerAddress;       // BD_ADDR, 6 bytes
  uint8_t linkType;                 // 0x00 SCO, 0x02 eSCO
  uint8_t transmissionInterval;     // Transmission_Interval, in slots
  uint8_t retransmissionWindow;     // Retransmission_Window, in slots
  uint16_t rxPacketLength;          // RX_Packet_Length
  uint16_t txPacketLength;          // TX_Packet_Length
  uint8_t airMode;                  // Air_Mode
};
bool ReadSyncConnectionComplete(const HciEvent& event, SyncConnectionComplete* view);

// Disconnection Complete (Vol 4, Part E, 7.7.5), 4 parameter bytes.
struct DisconnectionComplete {
  uint8_t status;   // not 0: the disconnection failed and the link is still there
  uint16_t handle;  // Connection_Handle
  uint8_t reason;   // Reason, an error code
};
bool ReadDisconnectionComplete(const HciEvent& event, DisconnectionComplete* view);

// Command Complete (Vol 4, Part E, 7.7.14), at least 3 parameter bytes.
struct CommandComplete {
  uint8_t numCommandPackets;         // Num_HCI_Command_Packets the host may send now
  uint16_t opcode;                   // Command_Opcode of the command this completes
  const uint8_t* returnParams;       // Return_Parameters, the status first for most commands
  size_t returnLength;
};
bool ReadCommandComplete(const HciEvent& event, CommandComplete* view);

// Number Of Completed Packets (Vol 4, Part E, 7.7.19): Num_Handles, then for each handle
// its Connection_Handle and Num_Completed_Packets, two bytes each, pair after pair.
struct NumCompletedPackets {
  uint8_t numHandles;
  const uint8_t* entries;  // numHandles pairs of 4 bytes
};
// False also when the parameters hold fewer pairs than numHandles announces.
bool ReadNumCompletedPackets(const HciEvent& event, NumCompletedPackets* view);
struct CompletedPackets {
  uint16_t handle;
  uint16_t count;
};
// Pair index (below view.numHandles) of the event.
CompletedPackets CompletedPacketsAt(const NumCompletedPackets& view, int index);

// The header of an ACL data packet (Vol 4, Part E, 5.4.2).
struct AclHeader {
  uint16_t handle;          // Handle, the low 12 bits of the first field
  uint8_t packetBoundary;   // PB_Flag, bits 12 and 13
  uint8_t broadcast;        // BC_Flag, bits 14 and 15
  uint16_t dataLength;      // Data_Total_Length: the bytes behind the header
};
// The header of the ACL packet at packet, of which length bytes are there: false when
// fewer than the header. The data need not be there.
bool ReadAclHeader(const uint8_t* packet, size_t length, AclHeader* header);

// The header of a synchronous (SCO) data packet (Vol 4, Part E, 5.4.3).
struct ScoHeader {
  uint16_t handle;          // Connection_Handle, the low 12 bits of the first field
  uint8_t packetStatus;     // Packet_Status_Flag, bits 12 and 13
  uint8_t reserved;         // bits 14 and 15
  uint8_t dataLength;       // Data_Total_Length: the bytes behind the header
};
// As ReadAclHeader, for an SCO packet.
bool ReadScoHeader(const uint8_t* packet, size_t length, ScoHeader* header);
