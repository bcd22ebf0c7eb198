#include "decode.h"

#include "hci_names.h"
#include "text.h"

namespace host {

namespace {

uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return (uint32_t)(p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24); }

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
  } else if (opcode == kOpLeTestEnd && n >= 3) {
    text += Format(", %u packets received", Le16(r + 1));
    json.Num("packets", Le16(r + 1));
  }
}

Decoded CommandAnswer(bool complete, uint16_t opcode, bool hasStatus, uint8_t status, const uint8_t* ret,
                      size_t retLength) {
  Decoded d;
  d.answers = Decoded::Command;
  d.opcode = opcode;
  d.status = status;
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

Decoded InquiryResult(const uint8_t* q, size_t plen) {
  const size_t count = plen > 0 ? q[0] : 0;
  if (plen < 1 || plen != 1 + 14 * count) return {};
  // Each parameter is an array over the responses: addresses, page scan repetition modes,
  // two reserved bytes each, classes of device, clock offsets.
  const uint8_t* addr = q + 1;
  const uint8_t* mode = addr + 6 * count;
  const uint8_t* cod = mode + 3 * count;
  const uint8_t* clock = cod + 3 * count;
  Decoded d;
  d.text = Format("Inquiry Result: %u response%s", (unsigned)count, count == 1 ? "" : "s");
  std::string list;
  for (size_t i = 0; i < count; ++i) {
    const std::string a = BdAddr(addr + 6 * i);
    const unsigned c = cod[3 * i] | cod[3 * i + 1] << 8 | cod[3 * i + 2] << 16;
    const uint16_t offset = Le16(clock + 2 * i);
    d.text += Format("%s %s page scan repetition mode R%u, class of device 0x%06x, clock offset 0x%04x",
                     i == 0 ? ":" : ";", a.c_str(), mode[i], c, offset);
    list += (i ? "," : "") + JsonLine()
                                 .Str("bdaddr", a)
                                 .Num("page_scan_repetition_mode", mode[i])
                                 .Str("class_of_device", Format("0x%06x", c))
                                 .Str("clock_offset", Format("0x%04x", offset))
                                 .Done();
  }
  d.json = JsonLine().Str("kind", "inquiry_result").Raw("responses", "[" + list + "]").Done();
  return d;
}

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
    d.text = Format("Connection Complete: %s, handle 0x%04x, BD_ADDR %s, link type %s, encryption %s",
                    StatusText(q[0]).c_str(), Le16(q + 1), BdAddr(q + 3).c_str(),
                    q[9] == 1 ? "ACL" : q[9] == 0 ? "SCO" : Format("0x%02x", q[9]).c_str(), q[10] ? "on" : "off");
    JsonLine json;
    json.Str("kind", "connection_complete");
    AddStatus(json, q[0]);
    d.json = json.Num("handle", Le16(q + 1)).Str("bdaddr", BdAddr(q + 3)).Num("link_type", q[9]).Num("encryption",
                                                                                                    q[10]).Done();
  } else if (code == kEvDisconnectionComplete && plen >= 4) {
    d.text = Format("Disconnection Complete: %s, handle 0x%04x, reason %s", StatusText(q[0]).c_str(), Le16(q + 1),
                    StatusText(q[3]).c_str());
    JsonLine json;
    json.Str("kind", "disconnection_complete");
    AddStatus(json, q[0]);
    d.json = json.Num("handle", Le16(q + 1)).Num("reason", q[3]).Str("reason_name", StatusName(q[3])).Done();
  } else if (code == kEvInquiryResult) {
    d = InquiryResult(q, plen);
  }
  return d.text.empty() ? Unknown("event", "Event", code, q, plen) : d;
}

Decoded DecodeDiagReply(const uint8_t* p, size_t n) {
  Decoded d;
  d.answers = Decoded::Diag;
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
    case Incoming::Packet:
      if (item.type == H4_EVENT) return DecodeEvent(p, n);
      if (item.type == H4_ACL && n >= 4) {
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
    case Incoming::DiagReply:
      if (n > 0) return DecodeDiagReply(p, n);
      return d;
    case Incoming::Echo:
      return d;  // our own request coming back; not shown
    case Incoming::Problem:
      d.text = "Not decoded (" + item.problem + "): " + Hex(p, n);
      d.json = JsonLine().Str("kind", "not_decoded").Str("problem", item.problem).Str("hex", Hex(p, n, "")).Done();
      return d;
  }
  return d;
}

}  // namespace host
