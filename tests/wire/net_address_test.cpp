// The address and prefix settings: which texts are addresses and prefixes, the text an
// address is shown as, and which peers a list of prefixes holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/net_address.h"

namespace {

NetAddress Address(const std::string& text) {
  NetAddress a;
  EXPECT_TRUE(ParseNetAddress(text, &a)) << text;
  return a;
}

TEST(NetAddress, AddressesReadAndShownInTheirUsualForm) {
  const struct {
    const char* text;
    const char* shown;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"::1", "::1"},
      {"::", "::"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"2001:DB8:0:0:8:800:200C:417A", "2001:db8::8:800:200c:417a"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of two equal runs
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays 0
      {"fe80::", "fe80::"},
      {"1::", "1::"},
      {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {"::FFFF:c000:0201", "::ffff:192.0.2.1"},
      {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
      {"1:2:3:4:5:6:7.8.9.10", "1:2:3:4:5:6:708:90a"},
      {"0001:0002:0003:0004:0005:0006:0007:0008", "1:2:3:4:5:6:7:8"},
  };
  for (const auto& c : cases) {
    NetAddress a;
    ASSERT_TRUE(ParseNetAddress(c.text, &a)) << c.text;
    EXPECT_EQ(NetAddressText(a), c.shown) << c.text;
    EXPECT_EQ(a.v6, std::string(c.text).find(':') != std::string::npos) << c.text;
  }
  EXPECT_EQ(Address("192.0.2.1").bytes[0], 192);
  EXPECT_EQ(Address("::1").bytes[15], 1);
  EXPECT_EQ(Address("::ffff:1.2.3.4").bytes[10], 0xFF);
}

TEST(NetAddress, TextsThatAreNoAddressAreRefused) {
  for (const char* text : {"", " ", "localhost", "127.0.0.256", "127.0.0", "127.0.0.1.", "127.0.0.1 ", " 127.0.0.1",
                           "127.00.0.1", "010.0.0.1", "1.2.3.4/8", "0x7f.0.0.1", "1..2.3", "::1%lo", "[::1]", ":::",
                           "1:::2", "1::2::3", ":1::", "1::2:", "12345::", "g::1", "1:2:3:4:5:6:7:8:9",
                           "1:2:3:4:5:6:7::8", "1:2:3:4:5:6:7", "::1.2.3", "::1.2.3.4.5", "1.2.3.4::", ":1.2.3.4",
                           "1:2:3:4:5:6:7:1.2.3.4"}) {
    NetAddress a;
    a.bytes[0] = 99;
    EXPECT_FALSE(ParseNetAddress(text, &a)) << "'" << text << "'";
    EXPECT_EQ(a.bytes[0], 99) << "left unchanged: " << text;
  }
}

TEST(NetAddress, EveryAddressOfAKindIsTheAnyAddress) {
  EXPECT_TRUE(IsAnyNetAddress(Address("0.0.0.0")));
  EXPECT_TRUE(IsAnyNetAddress(Address("::")));
  EXPECT_TRUE(IsAnyNetAddress(NetAddress{}));
  EXPECT_FALSE(IsAnyNetAddress(Address("::1")));
  EXPECT_FALSE(IsAnyNetAddress(Address("0.0.0.1")));
  EXPECT_FALSE(IsAnyNetAddress(Address("::ffff:0.0.0.0")));
}

TEST(NetPrefixList, WhichPeersAListHolds) {
  const struct {
    const char* list;
    const char* peer;
    bool held;
  } cases[] = {
      {"127.0.0.2/32", "127.0.0.2", true},
      {"127.0.0.2/32", "127.0.0.1", false},
      {"127.0.0.2", "127.0.0.2", true},  // an address alone is its own prefix
      {"127.0.0.2", "127.0.0.3", false},
      {"10.0.0.0/8", "10.255.1.2", true},
      {"10.0.0.0/8", "11.0.0.0", false},
      {"192.168.4.7/24", "192.168.4.200", true},  // bits past the length do not count
      {"192.168.4.0/23", "192.168.5.1", true},
      {"192.168.4.0/23", "192.168.6.1", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "::1", false},  // a prefix holds only its own kind...
      {"::/0", "127.0.0.1", false},
      {"127.0.0.0/8", "::ffff:127.0.0.5", true},  // ...but IPv4 seen through IPv6 is IPv4
      {"::ffff:127.0.0.0/104", "127.0.0.5", true},
      {"::1/128", "::1", true},
      {"::1/128", "::2", false},
      {"fe80::/10", "febf::1", true},
      {"fe80::/10", "fec0::1", false},
      {"10.0.0.0/8, 127.0.0.2/32 ,::1", "::1", true},
      {"10.0.0.0/8, 127.0.0.2/32 ,::1", "127.0.0.2", true},
      {"10.0.0.0/8, 127.0.0.2/32 ,::1", "127.0.0.1", false},
  };
  for (const auto& c : cases) {
    std::vector<NetPrefix> list;
    std::string why;
    ASSERT_TRUE(ParseNetPrefixList(c.list, &list, &why)) << c.list << ": " << why;
    EXPECT_EQ(NetPrefixesHold(list, Address(c.peer)), c.held) << c.list << " and " << c.peer;
  }
}

TEST(NetPrefixList, ABadListSaysWhichItemAndWhy) {
  const struct {
    const char* list;
    const char* why;
  } cases[] = {
      {"", "an empty item (item 1)"},
      {"10.0.0.0/8,", "an empty item (item 2)"},
      {"10.0.0.0/8,,::1", "an empty item (item 2)"},
      {"localhost", "\"localhost\": \"localhost\" is not an IPv4 or IPv6 address"},
      {"127.0.0.1/33", "\"127.0.0.1/33\": the prefix length \"33\" is not a number from 0 to 32"},
      {"::1/129", "\"::1/129\": the prefix length \"129\" is not a number from 0 to 128"},
      {"10.0.0.0/", "\"10.0.0.0/\": the prefix length \"\" is not a number from 0 to 32"},
      {"10.0.0.0/08", "\"10.0.0.0/08\": the prefix length \"08\" is not a number from 0 to 32"},
      {"10.0.0.0/-1", "\"10.0.0.0/-1\": the prefix length \"-1\" is not a number from 0 to 32"},
      {"10.0.0.0/8/8", "\"10.0.0.0/8/8\": the prefix length \"8/8\" is not a number from 0 to 32"},
      {"10.0.0.0/8;::1", "\"10.0.0.0/8;::1\": the prefix length \"8;::1\" is not a number from 0 to 32"},
  };
  for (const auto& c : cases) {
    std::vector<NetPrefix> list = {NetPrefix{}};
    std::string why;
    EXPECT_FALSE(ParseNetPrefixList(c.list, &list, &why)) << c.list;
    EXPECT_EQ(why, c.why) << c.list;
    EXPECT_EQ(list.size(), 1u) << "left unchanged: " << c.list;
  }
}

TEST(NetAddress, AMappedAddressIsShownAsItsIpv4Address) {
  EXPECT_EQ(NetAddressText(UnmappedNetAddress(Address("::ffff:10.1.2.3"))), "10.1.2.3");
  EXPECT_EQ(NetAddressText(UnmappedNetAddress(Address("::10.1.2.3"))), "::a01:203");
  EXPECT_EQ(NetAddressText(UnmappedNetAddress(Address("10.1.2.3"))), "10.1.2.3");
}

}  // namespace
