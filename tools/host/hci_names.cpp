#include "hci_names.h"

#include "text.h"

#include <cstdio>
#include <cstdlib>

namespace host {

namespace {

struct NamedCommand {
  uint16_t opcode;
  const char* name;
};

const NamedCommand kCommands[] = {
    {0x0401, "HCI_Inquiry"},
    {0x0402, "HCI_Inquiry_Cancel"},
    {0x0405, "HCI_Create_Connection"},
    {0x0409, "HCI_Accept_Connection_Request"},
    {0x040A, "HCI_Reject_Connection_Request"},
    {0x0406, "HCI_Disconnect"},
    {0x0407, "HCI_Add_SCO_Connection"},
    {0x0428, "HCI_Setup_Synchronous_Connection"},
    {0x0C01, "HCI_Set_Event_Mask"},
    {kOpReset, "HCI_Reset"},
    {0x0C05, "HCI_Set_Event_Filter"},
    {0x0C13, "HCI_Write_Local_Name"},
    {kOpReadLocalName, "HCI_Read_Local_Name"},
    {0x0C18, "HCI_Write_Page_Timeout"},
    {0x0C1A, "HCI_Write_Scan_Enable"},
    {0x0C24, "HCI_Write_Class_Of_Device"},
    {kOpReadLocalVersion, "HCI_Read_Local_Version_Information"},
    {0x1002, "HCI_Read_Local_Supported_Commands"},
    {0x1003, "HCI_Read_Local_Supported_Features"},
    {0x1005, "HCI_Read_Buffer_Size"},
    {kOpReadBdAddr, "HCI_Read_BD_ADDR"},
    {0x1801, "HCI_Read_Loopback_Mode"},
    {0x1802, "HCI_Write_Loopback_Mode"},
    {kOpEnableDutMode, "HCI_Enable_Device_Under_Test_Mode"},
    {0x2001, "HCI_LE_Set_Event_Mask"},
    {0x2002, "HCI_LE_Read_Buffer_Size"},
    {kOpLeReceiverTest, "HCI_LE_Receiver_Test"},
    {kOpLeTransmitterTest, "HCI_LE_Transmitter_Test"},
    {kOpLeTestEnd, "HCI_LE_Test_End"},
    {kOpLeReceiverTestV2, "HCI_LE_Receiver_Test_v2"},
    {kOpLeTransmitterTestV2, "HCI_LE_Transmitter_Test_v2"},
};

// The HCI error codes 0x00 to 0x47; nullptr marks a reserved value.
const char* const kStatus[] = {
    "Success",
    "Unknown HCI Command",
    "Unknown Connection Identifier",
    "Hardware Failure",
    "Page Timeout",
    "Authentication Failure",
    "PIN or Key Missing",
    "Memory Capacity Exceeded",
    "Connection Timeout",
    "Connection Limit Exceeded",
    "Synchronous Connection Limit To A Device Exceeded",
    "Connection Already Exists",
    "Command Disallowed",
    "Connection Rejected due to Limited Resources",
    "Connection Rejected Due To Security Reasons",
    "Connection Rejected due to Unacceptable BD_ADDR",
    "Connection Accept Timeout Exceeded",
    "Unsupported Feature or Parameter Value",
    "Invalid HCI Command Parameters",
    "Remote User Terminated Connection",
    "Remote Device Terminated Connection due to Low Resources",
    "Remote Device Terminated Connection due to Power Off",
    "Connection Terminated By Local Host",
    "Repeated Attempts",
    "Pairing Not Allowed",
    "Unknown LMP PDU",
    "Unsupported Remote Feature",
    "SCO Offset Rejected",
    "SCO Interval Rejected",
    "SCO Air Mode Rejected",
    "Invalid LMP Parameters / Invalid LL Parameters",
    "Unspecified Error",
    "Unsupported LMP Parameter Value / Unsupported LL Parameter Value",
    "Role Change Not Allowed",
    "LMP Response Timeout / LL Response Timeout",
    "LMP Error Transaction Collision / LL Procedure Collision",
    "LMP PDU Not Allowed",
    "Encryption Mode Not Acceptable",
    "Link Key cannot be Changed",
    "Requested QoS Not Supported",
    "Instant Passed",
    "Pairing With Unit Key Not Supported",
    "Different Transaction Collision",
    nullptr,
    "QoS Unacceptable Parameter",
    "QoS Rejected",
    "Channel Classification Not Supported",
    "Insufficient Security",
    "Parameter Out Of Mandatory Range",
    nullptr,
    "Role Switch Pending",
    nullptr,
    "Reserved Slot Violation",
    "Role Switch Failed",
    "Extended Inquiry Response Too Large",
    "Secure Simple Pairing Not Supported By Host",
    "Host Busy - Pairing",
    "Connection Rejected due to No Suitable Channel Found",
    "Controller Busy",
    "Unacceptable Connection Parameters",
    "Advertising Timeout",
    "Connection Terminated due to MIC Failure",
    "Connection Failed to be Established / Synchronization Timeout",
    nullptr,
    "Coarse Clock Adjustment Rejected but Will Try to Adjust Using Clock Dragging",
    "Type0 Submap Not Defined",
    "Unknown Advertising Identifier",
    "Limit Reached",
    "Operation Cancelled by Host",
    "Packet Too Long",
    "Too Late",
    "Too Early",
};

struct NamedEvent {
  const char* name;
  uint8_t code;
  uint8_t subevent;
};

const NamedEvent kEvents[] = {
    {"inquiry-complete", kEvInquiryComplete, 0},  // inquiry
    {"inquiry-result", kEvInquiryResult, 0},
    {"connection-complete", kEvConnectionComplete, 0},  // ACL and SCO links
    {"connection-request", kEvConnectionRequest, 0},
    {"disconnection-complete", kEvDisconnectionComplete, 0},
    {"command-complete", kEvCommandComplete, 0},  // answers to commands
    {"command-status", kEvCommandStatus, 0},
    {"role-change", kEvRoleChange, 0},  // a link's state
    {"completed-packets", kEvNumCompletedPackets, 0},  // Number Of Completed Packets
    {"mode-change", kEvModeChange, 0},
    {"le-meta", kEvLeMeta, 0},  // LE: any subevent, or the one named
    {"le-connection-complete", kEvLeMeta, 0x01},
    {"le-enhanced-connection-complete", kEvLeMeta, 0x0A},
};

const char* const kCoreVersions[] = {"1.0b", "1.1", "1.2", "2.0+EDR", "2.1+EDR", "3.0+HS", "4.0", "4.1",
                                     "4.2",  "5.0", "5.1", "5.2",     "5.3",     "5.4",    "6.0"};

}  // namespace

std::string CommandName(uint16_t opcode) {
  for (const NamedCommand& c : kCommands)
    if (c.opcode == opcode) return c.name;
  char text[32];
  std::snprintf(text, sizeof text, "OGF 0x%02x OCF 0x%04x", opcode >> 10, opcode & 0x3FF);
  return text;
}

const char* StatusName(uint8_t status) {
  const size_t n = sizeof kStatus / sizeof kStatus[0];
  return status < n && kStatus[status] != nullptr ? kStatus[status] : "Reserved";
}

bool EventByName(const std::string& text, uint8_t* code, uint8_t* subevent) {
  for (const NamedEvent& e : kEvents) {
    if (text == e.name) {
      *code = e.code;
      *subevent = e.subevent;
      return true;
    }
  }
  unsigned long v = 0;
  if (!ParseNumber(text, 0xFF, &v) || v == 0) return false;
  *code = (uint8_t)v;
  *subevent = 0;
  return true;
}

const char* EventNameList() {
  static const std::string list = [] {
    std::string s;
    for (const NamedEvent& e : kEvents) s += std::string(s.empty() ? "" : ", ") + e.name;
    return s;
  }();
  return list.c_str();
}

const char* CoreVersionName(uint8_t version) {
  return version < sizeof kCoreVersions / sizeof kCoreVersions[0] ? kCoreVersions[version] : "";
}

}  // namespace host
