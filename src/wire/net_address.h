// IP addresses and prefixes as the bridge's settings name them (TARNEXIO_LISTEN,
// TARNEXIO_ALLOW): their text forms, and whether a peer's address is in a list of prefixes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An IPv4 address (v6 false, bytes[0..3] in network order, the rest 0) or an IPv6 address
// (v6 true, bytes in network order). The default is IPv4's 0.0.0.0.
struct NetAddress {
  bool v6 = false;
  uint8_t bytes[16] = {};
};

bool operator==(const NetAddress& a, const NetAddress& b);

// The first `length` bits of an address: 0..32 for IPv4, 0..128 for IPv6.
struct NetPrefix {
  NetAddress address;
  unsigned length = 0;
};

// An address in its usual text: IPv4 as four decimal numbers of 0..255 with dots, without
// leading zeros (so that no one wonders whether "010" is octal); IPv6 as up to eight groups
// of one to four hex digits with colons, at most one "::" standing for a run of zero
// groups, and optionally an IPv4 address in place of the last two groups. No zone
// ("%eth0"), no brackets, no white space. False, *out unchanged, when text is not one.
bool ParseNetAddress(const std::string& text, NetAddress* out);

// "ADDRESS/LENGTH", or an ADDRESS alone for that one address. Bits beyond LENGTH may be
// set ("192.168.4.7/24" is 192.168.4.0/24). On failure *why says what is wrong.
bool ParseNetPrefix(const std::string& text, NetPrefix* out, std::string* why);

// PREFIX[,PREFIX...], spaces around each one allowed. An empty list, or an empty item
// between commas, is an error: a list that allows nobody would be a mistake. On failure
// *why names the item at fault and what is wrong with it.
bool ParseNetPrefixList(const std::string& text, std::vector<NetPrefix>* out, std::string* why);

// True when address is in one of the prefixes. An IPv4 address seen through an IPv6
// socket (::ffff:a.b.c.d) is that IPv4 address, and a prefix of such addresses
// (::ffff:a.b.c.d/96 and longer) is the IPv4 prefix it stands for.
bool NetPrefixesHold(const std::vector<NetPrefix>& prefixes, const NetAddress& address);

// The IPv4 address an IPv4-mapped IPv6 address stands for; any other address unchanged.
NetAddress UnmappedNetAddress(const NetAddress& address);

// The text of an address: IPv4 dotted; IPv6 in the recommended form (lower case, no
// leading zeros, the longest run of two or more zero groups as "::", the first of equal
// runs; an IPv4-mapped address ends in its dotted IPv4 address). ParseNetAddress reads it
// back to the same address.
std::string NetAddressText(const NetAddress& address);

// 0.0.0.0 or ::, which stand for every local address when listening.
bool IsAnyNetAddress(const NetAddress& address);
