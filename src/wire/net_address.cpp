#include "wire/net_address.h"

#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four dotted decimal numbers of 0..255, each without leading zeros, into four bytes.
bool ParseDotted(const std::string& text, uint8_t* bytes) {
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const size_t start = i;
    unsigned value = 0;
    while (i < text.size() && IsDigit(text[i]) && i - start < 3) value = value * 10 + unsigned(text[i++] - '0');
    const size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    bytes[part] = uint8_t(value);
  }
  return i == text.size();
}

// Groups of one to four hex digits separated by single colons ("" is no group at all),
// appended to groups; false on anything else, or on more than `room` groups.
bool ParseGroups(const std::string& text, std::vector<uint16_t>* groups, size_t room) {
  if (text.empty()) return true;
  size_t i = 0;
  for (;;) {
    const size_t start = i;
    unsigned value = 0;
    while (i < text.size() && HexValue(text[i]) >= 0 && i - start < 4) value = value * 16 + unsigned(HexValue(text[i++]));
    if (i == start || groups->size() == room) return false;
    groups->push_back(uint16_t(value));
    if (i == text.size()) return true;
    if (text[i] != ':') return false;
    ++i;
  }
}

bool ParseV6(const std::string& text, uint8_t* bytes) {
  std::string body = text;
  uint8_t tail[4];
  size_t groupsWanted = 8;
  // An IPv4 address in place of the last two groups.
  const size_t lastColon = body.rfind(':');
  if (lastColon == std::string::npos) return false;
  const bool dottedTail = body.find('.', lastColon) != std::string::npos;
  if (dottedTail) {
    if (!ParseDotted(body.substr(lastColon + 1), tail)) return false;
    // "::1.2.3.4" keeps its "::"; "1::2:1.2.3.4" loses the colon before the dotted part.
    body.erase(lastColon + 1);
    if (body.size() >= 2 && body.compare(body.size() - 2, 2, "::") == 0) {
    } else {
      body.pop_back();
    }
    groupsWanted = 6;
  }
  std::vector<uint16_t> head, rest;
  const size_t gap = body.find("::");
  if (gap == std::string::npos) {
    if (!ParseGroups(body, &head, groupsWanted) || head.size() != groupsWanted) return false;
  } else {
    if (body.find("::", gap + 1) != std::string::npos) return false;
    if (!ParseGroups(body.substr(0, gap), &head, groupsWanted)) return false;
    if (!ParseGroups(body.substr(gap + 2), &rest, groupsWanted)) return false;
    // "::" stands for at least one zero group.
    if (head.size() + rest.size() >= groupsWanted) return false;
    head.resize(groupsWanted - rest.size(), 0);
    head.insert(head.end(), rest.begin(), rest.end());
  }
  for (size_t g = 0; g < groupsWanted; ++g) {
    bytes[2 * g] = uint8_t(head[g] >> 8);
    bytes[2 * g + 1] = uint8_t(head[g] & 0xFF);
  }
  if (dottedTail) std::memcpy(bytes + 12, tail, 4);
  return true;
}

bool IsMapped(const NetAddress& a) {
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return a.v6 && std::memcmp(a.bytes, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

bool PrefixHolds(const NetPrefix& prefix, const NetAddress& address) {
  if (prefix.address.v6 != address.v6) return false;
  const unsigned whole = prefix.length / 8, bits = prefix.length % 8;
  if (std::memcmp(prefix.address.bytes, address.bytes, whole) != 0) return false;
  if (bits == 0) return true;
  const uint8_t mask = uint8_t(0xFF << (8 - bits));
  return (prefix.address.bytes[whole] & mask) == (address.bytes[whole] & mask);
}

std::string Trimmed(const std::string& text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(' ') - start + 1);
}

}  // namespace

bool operator==(const NetAddress& a, const NetAddress& b) {
  return a.v6 == b.v6 && std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

bool ParseNetAddress(const std::string& text, NetAddress* out) {
  NetAddress parsed;
  parsed.v6 = text.find(':') != std::string::npos;
  if (!(parsed.v6 ? ParseV6(text, parsed.bytes) : ParseDotted(text, parsed.bytes))) return false;
  *out = parsed;
  return true;
}

bool ParseNetPrefix(const std::string& text, NetPrefix* out, std::string* why) {
  const size_t slash = text.find('/');
  NetPrefix prefix;
  if (!ParseNetAddress(text.substr(0, slash), &prefix.address)) {
    *why = "\"" + text.substr(0, slash) + "\" is not an IPv4 or IPv6 address";
    return false;
  }
  const unsigned most = prefix.address.v6 ? 128 : 32;
  prefix.length = most;
  if (slash != std::string::npos) {
    const std::string length = text.substr(slash + 1);
    unsigned value = 0;
    bool ok = !length.empty() && length.size() <= 3 && (length.size() == 1 || length[0] != '0');
    for (char c : length) {
      ok = ok && IsDigit(c);
      if (ok) value = value * 10 + unsigned(c - '0');
    }
    if (!ok || value > most) {
      *why = "the prefix length \"" + length + "\" is not a number from 0 to " + std::to_string(most);
      return false;
    }
    prefix.length = value;
  }
  *out = prefix;
  return true;
}

bool ParseNetPrefixList(const std::string& text, std::vector<NetPrefix>* out, std::string* why) {
  std::vector<NetPrefix> prefixes;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item = Trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    NetPrefix prefix;
    std::string itemWhy;
    if (item.empty()) {
      *why = "an empty item (item " + std::to_string(prefixes.size() + 1) + ")";
      return false;
    }
    if (!ParseNetPrefix(item, &prefix, &itemWhy)) {
      *why = "\"" + item + "\": " + itemWhy;
      return false;
    }
    prefixes.push_back(prefix);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *out = prefixes;
  return true;
}

bool NetPrefixesHold(const std::vector<NetPrefix>& prefixes, const NetAddress& address) {
  // Both sides as IPv4 where they are IPv4-mapped: ::ffff:127.0.0.0/104 is 127.0.0.0/8.
  const NetAddress plain = UnmappedNetAddress(address);
  for (const NetPrefix& prefix : prefixes) {
    NetPrefix plainPrefix = prefix;
    if (IsMapped(prefix.address) && prefix.length >= 96) {
      plainPrefix.address = UnmappedNetAddress(prefix.address);
      plainPrefix.length = prefix.length - 96;
    }
    if (PrefixHolds(prefix, address) || PrefixHolds(plainPrefix, plain)) return true;
  }
  return false;
}

NetAddress UnmappedNetAddress(const NetAddress& address) {
  if (!IsMapped(address)) return address;
  NetAddress plain;
  std::memcpy(plain.bytes, address.bytes + 12, 4);
  return plain;
}

std::string NetAddressText(const NetAddress& address) {
  const uint8_t* b = address.bytes;
  auto dotted = [](const uint8_t* q) {
    return std::to_string(q[0]) + "." + std::to_string(q[1]) + "." + std::to_string(q[2]) + "." + std::to_string(q[3]);
  };
  if (!address.v6) return dotted(b);
  if (IsMapped(address)) return "::ffff:" + dotted(b + 12);
  uint16_t groups[8];
  for (int g = 0; g < 8; ++g) groups[g] = uint16_t(b[2 * g] << 8 | b[2 * g + 1]);
  int bestStart = -1, bestLength = 1;  // a single zero group is written as 0
  for (int g = 0; g < 8;) {
    if (groups[g] != 0) {
      ++g;
      continue;
    }
    int end = g;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - g > bestLength) bestStart = g, bestLength = end - g;
    g = end;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int g = 0; g < 8; ++g) {
    if (g == bestStart) {
      text += "::";
      g += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int digit = (groups[g] >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) text += kHex[digit], started = true;
    }
  }
  return text;
}

bool IsAnyNetAddress(const NetAddress& address) { return address == NetAddress{address.v6, {}}; }
