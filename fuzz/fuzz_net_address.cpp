// The address and prefix settings (TARNEXIO_LISTEN, TARNEXIO_ALLOW): any text parses or is
// refused without harm; an address that parses reads back from its own text, which is
// then the same text again; every address is in the prefix that names it, and in a list
// parsed from that prefix's text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "wire/net_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  NetAddress address;
  if (ParseNetAddress(text, &address)) {
    const std::string canonical = NetAddressText(address);
    NetAddress again;
    FuzzCheck(ParseNetAddress(canonical, &again) && again == address, "an address reads back from its text");
    FuzzCheck(NetAddressText(again) == canonical, "the text of an address is canonical");
    FuzzCheck(NetPrefixesHold({NetPrefix{address, address.v6 ? 128u : 32u}}, address), "an address is in itself");
  }

  std::vector<NetPrefix> prefixes;
  std::string why;
  if (ParseNetPrefixList(text, &prefixes, &why)) {
    FuzzCheck(!prefixes.empty(), "a list that parses names a prefix");
    for (const NetPrefix& prefix : prefixes) {
      FuzzCheck(prefix.length <= (prefix.address.v6 ? 128u : 32u), "a prefix length fits its address");
      FuzzCheck(NetPrefixesHold({prefix}, prefix.address), "a prefix holds its own address");
      std::vector<NetPrefix> reread;
      const std::string itemText = NetAddressText(prefix.address) + "/" + std::to_string(prefix.length);
      FuzzCheck(ParseNetPrefixList(itemText, &reread, &why) && reread.size() == 1 &&
                    reread[0].address == prefix.address && reread[0].length == prefix.length,
                "a prefix reads back from its text");
    }
  } else {
    FuzzCheck(!why.empty(), "a refused list says why");
  }
  return 0;
}
