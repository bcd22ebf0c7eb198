#include "decode.h"

#include "hci_names.h"
#include "text.h"

#include "wire/ftm_contract.h"

namespace host {

namespace {

using wire::Le16;
using wire::Le32;

std::string StatusText(uint8_t status) { return Format("%s (0x%02x)", StatusName(status), status); }

void AddStatus(JsonLine& json, uint8_t status) { json.Num("status", status).Str("status_name", StatusName(status)); }

Decoded Unknown(const char* kind, const char* label, uint8_t code, const uint8_t* p, size_t n) {
  Decoded d;
  d.text = Format("%s 0x%02x: ", label, code) + Hex(p, n);
  d.json = JsonLine().Str("kind", kind).Str("code", Format("0x%02x", code)).Str("hex", Hex(p, n, "")).Done();
  return d;
}

// What a Command Complete's return parameters add for the commands known here.
void DecodeReturn(uint16_t opcode, const uint8_t* r, size_t n, std::string& text, JsonLine& json) {
  if (n < 1 || r[0] != 0) return;  // a failed command returns nothing to read
  if (opcode == kOpReadBdAddr && n >= 7) {
    text += ", BD_ADDR " + BdAddr(r + 1);
    json.Str("bdaddr", BdAddr(r + 1));
  } else if (opcode == kOpReadLocalVersion && n >= 9) {
    text += Format(", HCI %s (0x%02x) revision 0x%04x, LMP %s (0x%02x) subversion 0x%04x, manufacturer 0x%04x",
                   CoreVersionName(r[1]), r[1], Le16(r + 2), CoreVersionName(r[4]), r[4], Le16(r + 7),
                   Le16(r + 5));
    json.Num("hci_version", r[1]).Str("hci_version_name", CoreVersionName(r[1])).Num("hci_revision", Le16(r + 2));
    json.Num("lmp_version", r[4]).Str("lmp_version_name", CoreVersionName(r[4])).Num("lmp_subversion", Le16(r + 7));
    json.Num("manufacturer", Le16(r + 5));
  } else if (opcode == kOpReadLocalName && n >= 2) {
    std::string name(reinterpret_cast<const char*>(r + 1), n - 1);
    name = name.substr(0, name.find('\0'));
    text += ", name \"" + Printable(name) + "\"";
    json.Str("name", name);
  } else if (opcode == kOpReadBufferSize && n >= 8) {
    text += Format(", ACL %u bytes x %u, SCO %u bytes x %u", Le16(r + 1), Le16(r + 4), r[3], Le16(r + 6));
    json.Num("acl_mtu", Le16(r + 1)).Num("acl_buffers", Le16(r + 4)).Num("sco_mtu", r[3]).Num("sco_buffers",
                                                                                               Le16(r + 6));
  } else if (opcode == kOpLeTestEnd && n >= 3) {
    text += Format(", %u packets received", Le16(r + 1));
    json.Num("packets", Le16(r + 1));
  }
}

Decoded CommandAnswer(bool complete, uint16_t opcode, bool hasStatus, uint8_t status, const uint8_t* ret,
                      size_t retLength) {
  Decoded d;
  d.answers = Decoded::COMMAND;
  d.opcode = opcode;
  d.status = status;
  d.hasStatus = hasStatus;
  if (complete && retLength > 0) d.returned.assign(ret, ret + retLength);
  JsonLine json;
  json.Str("kind", complete ? "command_complete" : "command_status");
  json.Str("command", CommandName(opcode)).Str("opcode", Format("0x%04x", opcode));
  d.text = Format("%s %s (0x%04x)", complete ? "Command Complete" : "Command Status", CommandName(opcode).c_str(),
                  opcode);
  if (hasStatus) {
    d.text += ": " + StatusText(status);
    AddStatus(json, status);
  }
  if (complete) DecodeReturn(opcode, ret, retLength, d.text, json);
  d.json = json.Done();
  return d;
}

// An inquiry response's address, kept as one the steps may connect to.
std::string FoundAddress(const uint8_t* response, Decoded* d) {
  d->found.push_back(BdAddr(response));
  return d->found.back();
}
unsigned ClassOfDevice(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16; }

Decoded InquiryResult(const uint8_t* q, size_t plen) {
  const size_t count = plen > 0 ? q[0] : 0;
  if (plen < 1 || plen != 1 + 14 * count) return {};
  // One record of 14 bytes per response: address, page scan repetition mode, two reserved
  // bytes, class of device, clock offset.
  Decoded d;
  d.text = Format("Inquiry Result: %u response%s", (unsigned)count, count == 1 ? "" : "s");
  std::string list;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* rec = q + 1 + 14 * i;
    const std::string a = FoundAddress(rec, &d);
    const unsigned c = ClassOfDevice(rec + 9);
    const uint16_t offset = Le16(rec + 12);
    d.text += Format("%s %s page scan repetition mode R%u, class of device 0x%06x, clock offset 0x%04x",
                     i == 0 ? ":" : ";", a.c_str(), rec[6], c, offset);
    list += (i ? "," : "") + JsonLine()
                                 .Str("bdaddr", a)
                                 .Num("page_scan_repetition_mode", rec[6])
                                 .Str("class_of_device", Format("0x%06x", c))
                                 .Str("clock_offset", Format("0x%04x", offset))
                                 .Done();
  }
  d.json = JsonLine().Str("kind", "inquiry_result").Raw("responses", "[" + list + "]").Done();
  return d;
}


const char* const kRoles[] = {"central", "peripheral"};
const char* RoleName(uint8_t role) { return role < 2 ? kRoles[role] : "unknown"; }

// Events whose parameters begin with a status.
Decoded WithStatus(const char* label, const char* kind, uint8_t status, JsonLine* json) {
  Decoded d;
  d.hasStatus = true;
  d.status = status;
  d.text = std::string(label) + ": " + StatusText(status);
  json->Str("kind", kind);
  AddStatus(*json, status);
  return d;
}

// Inquiry Result with RSSI (arrays, 14 bytes a response) and Extended Inquiry Result (one
// response and its extended inquiry response data).
Decoded InquiryResultRssi(bool extended, const uint8_t* q, size_t plen) {
  const size_t count = plen > 0 ? q[0] : 0;
  if (plen < 1 || (extended ? (count != 1 || plen != 255) : plen != 1 + 14 * count)) return {};
  Decoded d;
  d.text = extended ? "Extended Inquiry Result" : Format("Inquiry Result with RSSI: %u response%s", (unsigned)count,
                                                         count == 1 ? "" : "s");
  std::string list;
  for (size_t i = 0; i < count; ++i) {
    // 14 bytes a response: address, page scan repetition mode, a reserved byte, class of
    // device, clock offset, RSSI.
    const uint8_t* rec = q + 1 + 14 * i;
    const std::string a = FoundAddress(rec, &d);
    const unsigned c = ClassOfDevice(rec + 8);
    const int power = (int8_t)rec[13];
    JsonLine one;
    one.Str("bdaddr", a).Str("class_of_device", Format("0x%06x", c)).Num("rssi", power);
    d.text += Format("%s %s class of device 0x%06x, RSSI %d dBm", i == 0 ? ":" : ";", a.c_str(), c, power);
    if (extended) {
      // The local name among the data structures (length, type, data) that follow.
      const uint8_t* eir = q + 15;
      for (size_t at = 0; at < 240 && eir[at] != 0 && at + 1 + eir[at] <= 240; at += 1 + eir[at]) {
        if (eir[at + 1] == 0x08 || eir[at + 1] == 0x09) {
          const std::string name(reinterpret_cast<const char*>(eir + at + 2), eir[at] - 1u);
          d.text += ", name \"" + Printable(name) + "\"";
          one.Str("name", name);
          break;
        }
      }
    }
    list += (i ? "," : "") + one.Done();
  }
  d.json = JsonLine().Str("kind", extended ? "extended_inquiry_result" : "inquiry_result").Raw(
      "responses", "[" + list + "]").Done();
  return d;
}

Decoded LeMeta(const uint8_t* q, size_t plen) {
  Decoded d;
  if (plen < 1) return d;
  const uint8_t sub = q[0];
  const bool enhanced = sub == 0x0A;
  if ((sub == 0x01 && plen >= 19) || (enhanced && plen >= 31)) {
    // status, handle, role, peer address type and address, [two resolvable addresses],
    // interval, latency, supervision timeout
    const uint8_t* t = q + (enhanced ? 24 : 12);
    JsonLine json;
    d = WithStatus(enhanced ? "LE Enhanced Connection Complete" : "LE Connection Complete",
                   enhanced ? "le_enhanced_connection_complete" : "le_connection_complete", q[1], &json);
    d.handle = Le16(q + 2) & 0x0FFF;
    const char* type = q[5] == 0 ? "public" : q[5] == 1 ? "random" : "identity";
    d.text += Format(", handle 0x%04x, role %s, peer %s (%s), interval %u (%.2f ms), latency %u, timeout %u (%u ms)",
                     d.handle, RoleName(q[4]), BdAddr(q + 6).c_str(), type, Le16(t), Le16(t) * 1.25, Le16(t + 2),
                     Le16(t + 4), Le16(t + 4) * 10u);
    d.json = json.Num("handle", d.handle)
                 .Str("role", RoleName(q[4]))
                 .Str("peer", BdAddr(q + 6))
                 .Num("peer_address_type", q[5])
                 .Num("interval", Le16(t))
                 .Num("latency", Le16(t + 2))
                 .Num("supervision_timeout", Le16(t + 4))
                 .Done();
  } else {
    d.text = Format("LE Meta subevent 0x%02x: ", sub) + Hex(q + 1, plen - 1);
    d.json = JsonLine().Str("kind", "le_meta").Str("subevent", Format("0x%02x", sub)).Str("hex", Hex(q + 1, plen - 1, ""))
                 .Done();
  }
  d.subevent = sub;
  return d;
}

const char* const kModes[] = {"active", "hold", "sniff", "park"};

}  // namespace

Decoded DecodeEvent(const uint8_t* p, size_t n) {
  if (n < 2 || p[1] != n - 2) return Unknown("event", "Event", n > 0 ? p[0] : 0, p + (n > 0), n - (n > 0));
  const uint8_t code = p[0];
  const uint8_t* q = p + 2;
  const size_t plen = n - 2;
  Decoded d;
  if (code == kEvCommandComplete && plen >= 3) {
    d = CommandAnswer(true, Le16(q + 1), plen >= 4, plen >= 4 ? q[3] : 0, q + 3, plen - 3);
  } else if (code == kEvCommandStatus && plen >= 4) {
    d = CommandAnswer(false, Le16(q + 2), true, q[0], nullptr, 0);
  } else if (code == kEvConnectionComplete && plen >= 11) {
    JsonLine json;
    d = WithStatus("Connection Complete", "connection_complete", q[0], &json);
    d.handle = Le16(q + 1) & 0x0FFF;
    d.peer.assign(q + 3, q + 9);
    d.text += Format(", handle 0x%04x, BD_ADDR %s, link type %s, encryption %s", d.handle, BdAddr(q + 3).c_str(),
                     q[9] == 1 ? "ACL" : q[9] == 0 ? "SCO" : Format("0x%02x", q[9]).c_str(), q[10] ? "on" : "off");
    d.json = json.Num("handle", d.handle).Str("bdaddr", BdAddr(q + 3)).Num("link_type", q[9]).Num("encryption", q[10])
                 .Done();
  } else if (code == kEvDisconnectionComplete && plen >= 4) {
    JsonLine json;
    d = WithStatus("Disconnection Complete", "disconnection_complete", q[0], &json);
    d.handle = Le16(q + 1) & 0x0FFF;
    d.text += Format(", handle 0x%04x, reason %s", d.handle, StatusText(q[3]).c_str());
    d.json = json.Num("handle", d.handle).Num("reason", q[3]).Str("reason_name", StatusName(q[3])).Done();
  } else if (code == kEvInquiryResult) {
    d = InquiryResult(q, plen);
  } else if (code == kEvInquiryResultWithRssi || code == kEvExtendedInquiryResult) {
    d = InquiryResultRssi(code == kEvExtendedInquiryResult, q, plen);
  } else if (code == kEvInquiryComplete && plen >= 1) {
    JsonLine json;
    d = WithStatus("Inquiry Complete", "inquiry_complete", q[0], &json);
    d.json = json.Done();
  } else if (code == kEvConnectionRequest && plen >= 10) {
    const unsigned cod = q[6] | q[7] << 8 | q[8] << 16;
    const char* type = q[9] == 1 ? "ACL" : q[9] == 0 ? "SCO" : q[9] == 2 ? "eSCO" : "unknown";
    d.peer.assign(q, q + 6);
    d.linkType = q[9];
    d.text = Format("Connection Request: BD_ADDR %s, class of device 0x%06x, link type %s", BdAddr(q).c_str(), cod,
                    type);
    d.json = JsonLine()
                 .Str("kind", "connection_request")
                 .Str("bdaddr", BdAddr(q))
                 .Str("class_of_device", Format("0x%06x", cod))
                 .Num("link_type", q[9])
                 .Done();
  } else if (code == kEvNumCompletedPackets && plen >= 1 && plen == 1 + 4u * q[0]) {
    d.text = "Number Of Completed Packets:";
    std::string list;
    for (size_t i = 0; i < q[0]; ++i) {
      const uint16_t h = Le16(q + 1 + 4 * i) & 0x0FFF, count = Le16(q + 3 + 4 * i);
      d.completed.emplace_back(h, count);
      d.text += Format("%s handle 0x%04x %u packet%s", i ? ";" : "", h, count, count == 1 ? "" : "s");
      list += (i ? "," : "") + JsonLine().Num("handle", h).Num("packets", count).Done();
    }
    d.json = JsonLine().Str("kind", "completed_packets").Raw("handles", "[" + list + "]").Done();
  } else if (code == kEvRoleChange && plen >= 8) {
    JsonLine json;
    d = WithStatus("Role Change", "role_change", q[0], &json);
    d.text += Format(", BD_ADDR %s, role %s", BdAddr(q + 1).c_str(), RoleName(q[7]));
    d.json = json.Str("bdaddr", BdAddr(q + 1)).Str("role", RoleName(q[7])).Done();
  } else if (code == kEvModeChange && plen >= 6) {
    JsonLine json;
    d = WithStatus("Mode Change", "mode_change", q[0], &json);
    d.handle = Le16(q + 1) & 0x0FFF;
    const char* mode = q[3] < 4 ? kModes[q[3]] : "unknown";
    d.text += Format(", handle 0x%04x, mode %s, interval %u slots", d.handle, mode, Le16(q + 4));
    d.json = json.Num("handle", d.handle).Str("mode", mode).Num("interval", Le16(q + 4)).Done();
  } else if (code == kEvLeMeta) {
    d = LeMeta(q, plen);
  }
  d.event = code;
  if (!d.text.empty()) return d;
  Decoded unknown = Unknown("event", "Event", code, q, plen);
  unknown.event = code;
  return unknown;
}

Decoded DecodeDiagReply(const uint8_t* p, size_t n) {
  Decoded d;
  d.answers = Decoded::DIAG;
  d.diagCode = p[0];
  if (p[0] == kDiagVersion && n >= 55) {
    const std::string s(reinterpret_cast<const char*>(p), n);
    const std::string compiled = Printable(s.substr(1, 11) + " " + s.substr(12, 8));
    const std::string released = Printable(s.substr(20, 11) + " " + s.substr(31, 8));
    const std::string build = Printable(s.substr(39, 8));
    d.text = "Diag version: compiled " + compiled + ", released " + released + ", build " + build + ", then " +
             Hex(p + 47, n - 47);
    d.json = JsonLine()
                 .Str("kind", "diag_version")
                 .Str("compiled", compiled)
                 .Str("released", released)
                 .Str("build", build)
                 .Str("rest", Hex(p + 47, n - 47, ""))
                 .Done();
  } else if (p[0] == kDiagEsn && n >= 5) {
    d.text = Format("Diag esn: 0x%08x", Le32(p + 1));
    d.json = JsonLine().Str("kind", "diag_esn").Str("esn", Format("0x%08x", Le32(p + 1))).Done();
  } else if (p[0] == kDiagStatus && n >= 4 && n % 4 == 0) {
    // Little-endian 32-bit words, the code in the first.
    std::string words, list;
    for (size_t i = 0; i < n; i += 4) {
      words += Format(" %08x", Le32(p + i));
      list += Format("%s%u", i ? "," : "", Le32(p + i));
    }
    d.text = "Diag status: words" + words;
    d.json = JsonLine().Str("kind", "diag_status").Raw("words", "[" + list + "]").Done();
  } else {
    const Decoded other = Unknown("diag_reply", "Diag reply", p[0], p + 1, n - 1);
    d.text = other.text;
    d.json = other.json;
  }
  return d;
}

Decoded DecodeIncoming(const Incoming& item) {
  const uint8_t* p = item.bytes.data();
  const size_t n = item.bytes.size();
  Decoded d;
  switch (item.kind) {
    case Incoming::PACKET:
      if (item.type == H4_EVENT) return DecodeEvent(p, n);
      if (item.type == H4_ACL && n >= 4) {
        d.acl = true;
        d.handle = Le16(p) & 0x0FFF;
        d.aclFlags = p[1] >> 4;
        d.data.assign(p + 4, p + n);
        d.text = Format("ACL data: handle 0x%04x, flags 0x%x, %u bytes: ", Le16(p) & 0x0FFF, p[1] >> 4, (unsigned)(n - 4)) +
                 Hex(p + 4, n - 4);
        d.json = JsonLine().Str("kind", "acl").Num("handle", Le16(p) & 0x0FFF).Num("flags", p[1] >> 4).Str(
            "hex", Hex(p + 4, n - 4, "")).Done();
        return d;
      }
      if (item.type == H4_SCO && n >= 3) {
        d.text = Format("SCO data: handle 0x%04x, %u bytes: ", Le16(p) & 0x0FFF, (unsigned)(n - 3)) + Hex(p + 3, n - 3);
        d.json = JsonLine().Str("kind", "sco").Num("handle", Le16(p) & 0x0FFF).Str("hex", Hex(p + 3, n - 3, "")).Done();
        return d;
      }
      return Unknown("packet", "Packet of type", item.type, p, n);
    case Incoming::DIAG_REPLY:
      if (n > 0) return DecodeDiagReply(p, n);
      return d;
    case Incoming::ECHO:
      return d;  // our own request coming back; not shown
    case Incoming::PROBLEM:
      d.text = "Not decoded (" + item.problem + "): " + Hex(p, n);
      d.json = JsonLine().Str("kind", "not_decoded").Str("problem", item.problem).Str("hex", Hex(p, n, "")).Done();
      return d;
  }
  return d;
}

}  // namespace host
