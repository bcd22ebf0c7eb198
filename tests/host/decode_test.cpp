// tarnexio-host's receiving and decoding: events to lines and JSON, diag frames split
// anywhere, echoes, log packets and bad frames.
#include <gtest/gtest.h>

#include "decode.h"
#include "wire/diag_frame.h"
#include "receive.h"
#include "requests.h"

using namespace host;

namespace {

// The items the receiver makes of bytes fed in pieces of at most chunk bytes.
std::vector<Incoming> FeedAll(Mode mode, const Bytes& bytes, size_t chunk) {
  Receiver receiver(mode);
  std::vector<Incoming> items;
  for (size_t at = 0; at < bytes.size(); at += chunk)
    receiver.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at), &items);
  return items;
}

Bytes Framed(const Bytes& packet) {
  Bytes frame(2 * packet.size() + 5);
  frame.resize((size_t)EncodeDiagFrame(packet.data(), (int)packet.size(), 1, frame.data(), (int)frame.size()));
  return frame;
}

// An event log packet around an HCI event.
Bytes EventLog(const Bytes& event) {
  const size_t m = event.size() + 12;
  Bytes p = {0x10, (uint8_t)(m >> 8), (uint8_t)m, (uint8_t)(m >> 8), (uint8_t)m, 0x00, 0x66, 0x13,
             0xE5, 0x62, 0x2A, 0xC5, 0xFF, 0x01, 0x00, 0x04};
  p.insert(p.end(), event.begin(), event.end());
  return p;
}

TEST(HostDecode, KnownEventsGiveTheirLineAndJson) {
  const struct {
    Bytes event;
    const char* text;
    const char* json;
  } cases[] = {
      {{0x0e, 0x04, 0x01, 0x03, 0x0c, 0x00}, "Command Complete HCI_Reset (0x0c03): Success (0x00)",
       R"({"kind":"command_complete","command":"HCI_Reset","opcode":"0x0c03","status":0,"status_name":"Success"})"},
      {{0x0e, 0x0a, 0x01, 0x09, 0x10, 0x00, 0xbc, 0x9a, 0x78, 0x56, 0x34, 0x12},
       "Command Complete HCI_Read_BD_ADDR (0x1009): Success (0x00), BD_ADDR 12:34:56:78:9A:BC",
       R"({"kind":"command_complete","command":"HCI_Read_BD_ADDR","opcode":"0x1009","status":0,)"
       R"("status_name":"Success","bdaddr":"12:34:56:78:9A:BC"})"},
      {{0x0e, 0x0c, 0x01, 0x01, 0x10, 0x00, 0x09, 0x34, 0x12, 0x0a, 0x0f, 0x00, 0x02, 0x01},
       "Command Complete HCI_Read_Local_Version_Information (0x1001): Success (0x00), HCI 5.0 (0x09) revision "
       "0x1234, LMP 5.1 (0x0a) subversion 0x0102, manufacturer 0x000f",
       R"("hci_version":9,"hci_version_name":"5.0","hci_revision":4660,"lmp_version":10,)"
       R"("lmp_version_name":"5.1","lmp_subversion":258,"manufacturer":15})"},
      {{0x0e, 0x0a, 0x01, 0x14, 0x0c, 0x00, 'b', 'e', 'n', '"', 0x01, 0x00},
       "Command Complete HCI_Read_Local_Name (0x0c14): Success (0x00), name \"ben\"\\x01\"",
       R"("name":"ben\"\u0001"})"},
      {{0x0e, 0x07, 0x01, 0x14, 0x0c, 0x00, 'a', 0xff, 0x00}, ", name \"a\\xff\"", R"("name":"a\ufffd"})"},
      // A hostile name: CSI as a C1 control, then a right-to-left override.
      {{0x0e, 0x0e, 0x01, 0x14, 0x0c, 0x00, 'a', 0xc2, 0x9b, '2', 'J', 0xe2, 0x80, 0xae, 'b', 0x00},
       ", name \"a\\x9b2J\\u202eb\"", R"("name":"a\u009b2J\u202eb"})"},
      {{0x0e, 0x06, 0x01, 0x1f, 0x20, 0x00, 0x39, 0x30}, ", 12345 packets received", R"("packets":12345})"},
      {{0x0e, 0x04, 0x01, 0x14, 0x0c, 0x01},
       "Command Complete HCI_Read_Local_Name (0x0c14): Unknown HCI Command (0x01)",
       R"("status":1,"status_name":"Unknown HCI Command"})"},
      {{0x0e, 0x03, 0x01, 0x00, 0x00}, "Command Complete OGF 0x00 OCF 0x0000 (0x0000)",
       R"({"kind":"command_complete","command":"OGF 0x00 OCF 0x0000","opcode":"0x0000"})"},
      {{0x0f, 0x04, 0x0c, 0x01, 0x06, 0x04},
       "Command Status HCI_Disconnect (0x0406): Command Disallowed (0x0c)",
       R"({"kind":"command_status","command":"HCI_Disconnect","opcode":"0x0406","status":12,)"},
      {{0x03, 0x0b, 0x00, 0x01, 0x00, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x01, 0x00},
       "Connection Complete: Success (0x00), handle 0x0001, BD_ADDR 11:22:33:44:55:66, link type ACL, encryption off",
       R"("handle":1,"bdaddr":"11:22:33:44:55:66","link_type":1,"encryption":0})"},
      {{0x05, 0x04, 0x00, 0x01, 0x00, 0x16},
       "Disconnection Complete: Success (0x00), handle 0x0001, reason Connection Terminated By Local Host (0x16)",
       R"("reason":22,"reason_name":"Connection Terminated By Local Host"})"},
      {{0x02, 0x0f, 0x01, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x01, 0x00, 0x00, 0x0c, 0x02, 0x5a, 0x34, 0x12},
       "Inquiry Result: 1 response: 11:22:33:44:55:66 page scan repetition mode R1, class of device 0x5a020c, "
       "clock offset 0x1234",
       R"("responses":[{"bdaddr":"11:22:33:44:55:66","page_scan_repetition_mode":1,)"},
      // Unknown, or cut short: hex, never a guess.
      {{0x1b, 0x03, 0x01, 0x00, 0x05}, "Event 0x1b: 01 00 05", R"({"kind":"event","code":"0x1b","hex":"010005"})"},
      {{0x13, 0x04, 0x01, 0x01, 0x00, 0x01}, "Event 0x13: 01 01 00 01", nullptr},
      {{0x0e, 0x02, 0x01, 0x03}, "Event 0x0e: 01 03", R"("hex":"0103")"},
      {{0x03, 0x02, 0x00, 0x01}, "Event 0x03: 00 01", nullptr},
      {{0x0e, 0x09, 0x01}, "Event 0x0e: 09 01", nullptr},
  };
  for (const auto& c : cases) {
    const Decoded d = DecodeEvent(c.event.data(), c.event.size());
    EXPECT_NE(d.text.find(c.text), std::string::npos) << d.text;
    if (c.json) {
      EXPECT_NE(d.json.find(c.json), std::string::npos) << d.json;
    }
  }
}

// The events of links and data: each line, its whole JSON object, and what the run keeps
// of it (status, handle).
TEST(HostDecode, LinkEventsGiveTheirLineJsonStatusAndHandle) {
  const struct {
    Bytes event;
    const char* text;
    const char* json;
    int status;  // -1: the event carries none
    int handle;
  } cases[] = {
      {{0x01, 0x01, 0x00}, "Inquiry Complete: Success (0x00)",
       R"({"kind":"inquiry_complete","status":0,"status_name":"Success"})", 0, -1},
      {{0x04, 0x0a, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x0c, 0x02, 0x5a, 0x01},
       "Connection Request: BD_ADDR 11:22:33:44:55:66, class of device 0x5a020c, link type ACL",
       R"({"kind":"connection_request","bdaddr":"11:22:33:44:55:66","class_of_device":"0x5a020c","link_type":1})", -1,
       -1},
      {{0x13, 0x09, 0x02, 0x01, 0x00, 0x03, 0x00, 0x02, 0x20, 0x01, 0x00},
       "Number Of Completed Packets: handle 0x0001 3 packets; handle 0x0002 1 packet",
       R"({"kind":"completed_packets","handles":[{"handle":1,"packets":3},{"handle":2,"packets":1}]})", -1, -1},
      {{0x05, 0x04, 0x02, 0x07, 0x00, 0x16},
       "Disconnection Complete: Unknown Connection Identifier (0x02), handle 0x0007, reason Connection Terminated By "
       "Local Host (0x16)",
       R"({"kind":"disconnection_complete","status":2,"status_name":"Unknown Connection Identifier","handle":7,)"
       R"("reason":22,"reason_name":"Connection Terminated By Local Host"})", 2, 7},
      {{0x03, 0x0b, 0x04, 0x00, 0x00, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x01, 0x00},
       "Connection Complete: Page Timeout (0x04), handle 0x0000",
       R"({"kind":"connection_complete","status":4,"status_name":"Page Timeout","handle":0,)", 4, 0},
      {{0x0f, 0x04, 0x00, 0x01, 0x01, 0x04}, "Command Status HCI_Inquiry (0x0401): Success (0x00)",
       R"({"kind":"command_status","command":"HCI_Inquiry","opcode":"0x0401","status":0,"status_name":"Success"})", 0,
       -1},
      {{0x12, 0x08, 0x00, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x01},
       "Role Change: Success (0x00), BD_ADDR 11:22:33:44:55:66, role peripheral",
       R"({"kind":"role_change","status":0,"status_name":"Success","bdaddr":"11:22:33:44:55:66","role":"peripheral"})",
       0, -1},
      {{0x14, 0x06, 0x00, 0x01, 0x00, 0x02, 0x20, 0x03},
       "Mode Change: Success (0x00), handle 0x0001, mode sniff, interval 800 slots",
       R"({"kind":"mode_change","status":0,"status_name":"Success","handle":1,"mode":"sniff","interval":800})", 0, 1},
      {{0x3e, 0x13, 0x01, 0x00, 0x40, 0x00, 0x00, 0x01, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x18, 0x00, 0x00, 0x00,
        0x48, 0x00, 0x00},
       "LE Connection Complete: Success (0x00), handle 0x0040, role central, peer 11:22:33:44:55:66 (random), "
       "interval 24 (30.00 ms), latency 0, timeout 72 (720 ms)",
       R"({"kind":"le_connection_complete","status":0,"status_name":"Success","handle":64,"role":"central",)"
       R"("peer":"11:22:33:44:55:66","peer_address_type":1,"interval":24,"latency":0,"supervision_timeout":72})", 0,
       64},
      {{0x3e, 0x1f, 0x0a, 0x3e, 0x41, 0x00, 0x01, 0x00, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0x06, 0x00, 0x01, 0x00, 0x0a, 0x00, 0x00},
       "LE Enhanced Connection Complete: Connection Failed to be Established / Synchronization Timeout (0x3e), handle "
       "0x0041, role peripheral, peer 11:22:33:44:55:66 (public), interval 6 (7.50 ms), latency 1, timeout 10",
       R"({"kind":"le_enhanced_connection_complete","status":62,)", 0x3e, 0x41},
      {{0x3e, 0x03, 0x02, 0x01, 0x00}, "LE Meta subevent 0x02: 01 00",
       R"({"kind":"le_meta","subevent":"0x02","hex":"0100"})", -1, -1},
      {{0x22, 0x0f, 0x01, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x01, 0x00, 0x0c, 0x02, 0x5a, 0x34, 0x12, 0xc4},
       "Inquiry Result with RSSI: 1 response: 11:22:33:44:55:66 class of device 0x5a020c, RSSI -60 dBm",
       R"({"kind":"inquiry_result","responses":[{"bdaddr":"11:22:33:44:55:66","class_of_device":"0x5a020c",)"
       R"("rssi":-60}]})", -1, -1},
  };
  for (const auto& c : cases) {
    const Decoded d = DecodeEvent(c.event.data(), c.event.size());
    EXPECT_NE(d.text.find(c.text), std::string::npos) << d.text;
    EXPECT_NE(d.json.find(c.json), std::string::npos) << d.json;
    EXPECT_EQ(d.hasStatus ? d.status : -1, c.status) << d.text;
    EXPECT_EQ(d.handle, c.handle) << d.text;
    EXPECT_EQ(d.event, c.event[0]);
  }
  // An extended inquiry result names the device from its data.
  Bytes eir = {0x2f, 0xff, 0x01, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x01, 0x00, 0x0c, 0x02, 0x5a, 0x34, 0x12, 0xd8,
               0x02, 0x01, 0x06, 0x06, 0x09, 'b', 'e', 'n', 'c', 'h'};
  eir.resize(2 + 255, 0);
  const Decoded d = DecodeEvent(eir.data(), eir.size());
  EXPECT_EQ(d.text, "Extended Inquiry Result: 11:22:33:44:55:66 class of device 0x5a020c, RSSI -40 dBm, name \"bench\"");
  EXPECT_NE(d.json.find(R"({"kind":"extended_inquiry_result","responses":[{"bdaddr":"11:22:33:44:55:66",)"),
            std::string::npos) << d.json;
  EXPECT_EQ(d.found, std::vector<std::string>{"11:22:33:44:55:66"});
}

TEST(HostDecode, DiagStreamInAnySplitGivesLogPacketsRepliesAndEchoes) {
  // The FTM request for a command whose parameter needs escaping, echoed the way the
  // bridge does: our frame as received, then its own FCS (not escaped) and a flag.
  const Bytes request = DiagCommandRequest(0x0c1a, {0x7e});
  Bytes echo = request;
  const uint16_t fcs = (uint16_t)~DiagFcs16(request.data(), (int)request.size(), 0xFFFF);
  echo.insert(echo.end(), {(uint8_t)fcs, (uint8_t)(fcs >> 8), 0x7e});
  Bytes stream = echo;
  const Bytes cc = Framed(EventLog({0x0e, 0x04, 0x01, 0x1a, 0x0c, 0x00}));
  const Bytes esn = Framed({0x01, 0xef, 0xbe, 0xad, 0xde});
  Bytes bad = Framed({0x01, 0x02, 0x03});
  bad[1] ^= 0x40;
  for (const Bytes* b : std::vector<const Bytes*>{&cc, &bad, &esn}) stream.insert(stream.end(), b->begin(), b->end());

  for (size_t chunk : {(size_t)1, (size_t)2, (size_t)7, stream.size()}) {
    const std::vector<Incoming> items = FeedAll(Mode::DIAG, stream, chunk);
    ASSERT_EQ(items.size(), 4u) << chunk;
    EXPECT_EQ(items[0].kind, Incoming::ECHO);
    EXPECT_EQ(items[0].bytes, request);
    EXPECT_EQ(DecodeIncoming(items[1]).text, "Command Complete HCI_Write_Scan_Enable (0x0c1a): Success (0x00)");
    EXPECT_EQ(DecodeIncoming(items[2]).text, "Not decoded (bad FCS): " + std::string("01 42 03 ") +
                                                 DecodeIncoming(items[2]).text.substr(32));
    const Decoded reply = DecodeIncoming(items[3]);
    EXPECT_EQ(reply.answers, Decoded::DIAG);
    EXPECT_EQ(reply.text, "Diag esn: 0xdeadbeef");
  }
}

TEST(HostDecode, AFrameOfAGoodFcsAloneIsTooShortNotAnEmptyReply) {
  const std::vector<Incoming> items = FeedAll(Mode::DIAG, Framed({}), 1);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].kind, Incoming::PROBLEM);
  EXPECT_EQ(DecodeIncoming(items[0]).text, "Not decoded (frame too short for a code and its FCS): 00 00 7e");
}

TEST(HostDecode, LogPacketsWhoseHeaderOrLengthDoNotHoldAreNotDecoded) {
  const Bytes good = EventLog({0x0e, 0x04, 0x01, 0x03, 0x0c, 0x00});
  EXPECT_EQ(IncomingFromLogPacket(good.data(), good.size()).kind, Incoming::PACKET);
  const struct {
    size_t offset;
    uint8_t value;
    const char* problem;
  } cases[] = {
      {2, 0x13, "length fields disagree"},   {4, 0x11, "length fields disagree"},
      {6, 0x67, "unknown log code or tag"},  {15, 0x02, "unknown log code or tag"},
      {9, 0x00, "unknown header"},           {17, 0x05, "controller packet is cut"},
  };
  for (const auto& c : cases) {
    Bytes p = good;
    p[c.offset] = c.value;
    const Incoming item = IncomingFromLogPacket(p.data(), p.size());
    EXPECT_EQ(item.kind, Incoming::PROBLEM) << c.offset;
    EXPECT_NE(item.problem.find(c.problem), std::string::npos) << item.problem;
  }
}

TEST(HostDecode, RawStreamReportsARunOfStrayBytesOnceAndKeepsThePacketsAroundIt) {
  const Bytes stream = {0x04, 0x0e, 0x04, 0x01, 0x03, 0x0c, 0x00, 0x00, 0x7f, 0x02, 0x01, 0x20, 0x02, 0x00,
                        0xaa, 0xbb, 0x03, 0x01, 0x00, 0x01, 0xcc};
  for (size_t chunk : {(size_t)1, (size_t)3, stream.size()}) {
    const std::vector<Incoming> items = FeedAll(Mode::RAW, stream, chunk);
    std::vector<std::string> lines;
    for (const Incoming& item : items) lines.push_back(DecodeIncoming(item).text);
    // Bytes that start no packet are one item per run when they come in one receive.
    if (chunk == stream.size()) {
      EXPECT_EQ(lines, (std::vector<std::string>{"Command Complete HCI_Reset (0x0c03): Success (0x00)",
                                                 "Not decoded (2 byte(s) that start no H4 packet): 00 7f",
                                                 "ACL data: handle 0x0001, flags 0x2, 2 bytes: aa bb",
                                                 "SCO data: handle 0x0001, 1 bytes: cc"}));
    } else {
      EXPECT_EQ(lines.back(), "SCO data: handle 0x0001, 1 bytes: cc");
    }
  }
}

}  // namespace
