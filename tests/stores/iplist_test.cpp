#include "stores/iplist.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

cvnet_ipaddr ip(const char* text) {
  cvnet_ipaddr a;
  EXPECT_EQ(cvnet_aton(text, &a), 0) << text;
  return a;
}

std::string text(const iplist_subnet& s) {
  return cvnet_ntoa(s.ip).value_or("?") + "/" + std::to_string(s.cidr);
}

std::vector<std::string> split(const char* first, const char* last, int max = 256) {
  std::vector<iplist_subnet> out;
  errno = 0;
  int n = iplist_iprange_to_subnets(ip(first), ip(last), &out, max);
  std::vector<std::string> r;
  if (n < 0) {
    r.push_back(errno == ENOMEM ? "ENOMEM" : errno == EINVAL ? "EINVAL" : "errno?");
    EXPECT_TRUE(out.empty());
    return r;
  }
  EXPECT_EQ(static_cast<size_t>(n), out.size());
  for (auto& s : out) r.push_back(text(s));
  return r;
}

std::vector<std::string> prefixes(const iplist* list) {
  std::vector<std::string> r;
  iplist_walk(list, [&](const iplist_subnet& s, void*) { r.push_back(text(s)); });
  return r;
}

// Release callback that records what it was given.
std::vector<void*> released;
void record_release(void* d) { released.push_back(d); }

using V = std::vector<std::string>;

}  // namespace

TEST(IplistTest, AddReducesToThePrefixAndRefusesDuplicatesAndBadInput) {
  auto list = iplist_init(nullptr, nullptr);
  int a = 1, b = 2;
  EXPECT_EQ(iplist_add_cidr(list.get(), ip("10.1.2.3"), 8, &a), 0);
  EXPECT_EQ(prefixes(list.get()), V{"10.0.0.0/8"});
  EXPECT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.0"), 8, &b), -2);
  EXPECT_EQ(iplist_find_exact_data(list.get(), ip("10.200.0.0"), 8), &a);  // data kept

  EXPECT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.0"), 33, &b), -1);
  EXPECT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.0"), -1, &b), -1);
  EXPECT_EQ(iplist_add_cidr(list.get(), ip("::1"), 129, &b), -1);
  EXPECT_EQ(iplist_add_cidr(list.get(), ip("::1"), 128, &b), 0);
  // An address of no IP family stores nothing and says so.
  cvnet_ipaddr none;
  EXPECT_EQ(iplist_add_cidr(list.get(), none, 8, &b), -1);
  EXPECT_EQ(iplist_count(list.get()), 2u);
  EXPECT_EQ(prefixes(list.get()), (V{"10.0.0.0/8", "::1/128"}));
}

TEST(IplistTest, BestAndExactMatch) {
  auto list = iplist_init(nullptr, nullptr);
  int a = 1, b = 2, c = 3, d = 4;
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.0"), 8, &a), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.1.0.0"), 16, &b), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("2001:db8::"), 32, &c), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("2001:db8::1"), 128, &d), 0);
  EXPECT_EQ(iplist_find_data(list.get(), ip("10.1.2.3")), &b);
  EXPECT_EQ(iplist_find_data(list.get(), ip("10.2.0.1")), &a);
  EXPECT_EQ(iplist_find_data(list.get(), ip("11.0.0.1")), nullptr);
  EXPECT_EQ(iplist_find(list.get(), ip("10.2.0.1")), 0);
  EXPECT_EQ(iplist_find(list.get(), ip("11.0.0.1")), 1);
  EXPECT_EQ(iplist_find_data(list.get(), ip("2001:db8::1")), &d);
  EXPECT_EQ(iplist_find_data(list.get(), ip("2001:db8::2")), &c);
  EXPECT_EQ(iplist_find_data(list.get(), ip("2001:db9::1")), nullptr);
  // The IPv4 address 10.0.0.1 and the IPv6 address ::a00:1 do not meet.
  EXPECT_EQ(iplist_find_data(list.get(), ip("::a00:1")), nullptr);

  EXPECT_EQ(iplist_find_exact_data(list.get(), ip("10.1.255.255"), 16), &b);
  EXPECT_EQ(iplist_find_exact_data(list.get(), ip("10.1.2.3"), 32), nullptr);
  EXPECT_EQ(iplist_find_exact_data(list.get(), ip("10.1.2.3"), 33), nullptr);
  EXPECT_EQ(iplist_find_exact_data(nullptr, ip("10.1.2.3"), 16), nullptr);
  EXPECT_EQ(iplist_find_data(nullptr, ip("10.1.2.3")), nullptr);
  cvnet_ipaddr none;
  EXPECT_EQ(iplist_find_data(list.get(), none), nullptr);
  EXPECT_EQ(iplist_find_exact_data(list.get(), none, 0), nullptr);

  // With a match filter the search falls back to the next shorter prefix.
  auto filtered = iplist_init(nullptr, [](void* p) { return *static_cast<int*>(p) != 2; });
  ASSERT_EQ(iplist_add_cidr(filtered.get(), ip("10.0.0.0"), 8, &a), 0);
  ASSERT_EQ(iplist_add_cidr(filtered.get(), ip("10.1.0.0"), 16, &b), 0);
  EXPECT_EQ(iplist_find_data(filtered.get(), ip("10.1.2.3")), &a);
}

TEST(IplistTest, DeleteAndTerminatePassDataToTheReleaseCallback) {
  released.clear();
  int a = 1, b = 2, c = 3;
  auto list = iplist_init(record_release, nullptr);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("192.0.2.1"), 32, &a), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("192.0.2.0"), 24, &b), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("::1"), 128, &c), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("::2"), 128, nullptr), 0);
  EXPECT_EQ(iplist_delete_cidr(list.get(), ip("192.0.2.77"), 24), 0);
  EXPECT_EQ(released, std::vector<void*>{&b});
  EXPECT_EQ(iplist_find_data(list.get(), ip("192.0.2.1")), &a);
  EXPECT_EQ(iplist_find_data(list.get(), ip("192.0.2.2")), nullptr);
  EXPECT_EQ(iplist_delete_cidr(list.get(), ip("192.0.2.0"), 24), 1);
  EXPECT_EQ(iplist_delete_cidr(list.get(), ip("192.0.2.0"), 40), -1);
  EXPECT_EQ(iplist_delete_cidr(list.get(), cvnet_ipaddr{}, 8), 1);
  EXPECT_EQ(iplist_delete_cidr(nullptr, ip("192.0.2.0"), 24), 1);
  EXPECT_EQ(released.size(), 1u);

  int tries = patricia_live_tries();
  iplist_terminate(std::move(list));
  EXPECT_EQ(patricia_live_tries(), tries - 2);
  ASSERT_EQ(released.size(), 3u);  // null data is never passed on
  EXPECT_EQ(released[1], &a);
  EXPECT_EQ(released[2], &c);
  iplist_terminate(nullptr);
  urllist_iplist_terminate(nullptr);
  urllist_iplist_terminate(iplist_init(nullptr, nullptr).release());
  EXPECT_EQ(patricia_live_tries(), tries - 2);
}

TEST(IplistTest, OverlapQueriesFindExactCoveringAndEverySmallerPrefix) {
  auto list = iplist_init(nullptr, nullptr);
  void *exact, *covering;
  std::vector<void*> smaller{&exact};
  // Empty trie: no anchor, nothing found.
  auto anchor = iplist_get_overlapped(list.get(), ip("10.0.0.0"), 24, &exact, &covering);
  EXPECT_FALSE(anchor);
  EXPECT_EQ(exact, nullptr);
  EXPECT_EQ(covering, nullptr);
  EXPECT_EQ(iplist_get_smaller_subnets(anchor, ip("10.0.0.0"), 24, &smaller), 0);
  EXPECT_TRUE(smaller.empty());

  // Only a more specific prefix is stored: nothing at or above 10.0.0.0/24, yet it is found.
  int five = 5;
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.5"), 32, &five), 0);
  anchor = iplist_get_overlapped(list.get(), ip("10.0.0.0"), 24, &exact, &covering);
  ASSERT_TRUE(anchor);
  EXPECT_EQ(exact, nullptr);
  EXPECT_EQ(covering, nullptr);
  EXPECT_EQ(iplist_get_smaller_subnets(anchor, ip("10.0.0.0"), 24, &smaller), 1);
  EXPECT_EQ(smaller, std::vector<void*>{&five});

  int eight = 8, sixteen = 16, seven = 7, other = 99, top = 24;
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.0"), 8, &eight), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.0"), 16, &sixteen), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.128"), 25, &seven), 0);
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.1.0"), 32, &other), 0);
  anchor = iplist_get_overlapped(list.get(), ip("10.0.0.0"), 24, &exact, &covering);
  EXPECT_EQ(exact, nullptr);
  EXPECT_EQ(covering, &sixteen);
  EXPECT_EQ(iplist_get_smaller_subnets(anchor, ip("10.0.0.0"), 24, &smaller), 2);
  EXPECT_EQ(smaller, (std::vector<void*>{&five, &seven}));

  // Once the prefix itself is stored it is the exact data, not one of the smaller ones.
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.0"), 24, &top), 0);
  anchor = iplist_get_overlapped(list.get(), ip("10.0.0.9"), 24, &exact, &covering);
  EXPECT_EQ(exact, &top);
  EXPECT_EQ(covering, &sixteen);
  EXPECT_EQ(iplist_get_smaller_subnets(anchor, ip("10.0.0.0"), 24, &smaller), 2);
  EXPECT_EQ(smaller, (std::vector<void*>{&five, &seven}));
  // Pre-order from the /8: each prefix before the prefixes inside it.
  anchor = iplist_get_overlapped(list.get(), ip("10.0.0.0"), 8, &exact, &covering);
  EXPECT_EQ(exact, &eight);
  EXPECT_EQ(covering, nullptr);
  EXPECT_EQ(iplist_get_smaller_subnets(anchor, ip("10.0.0.0"), 8, &smaller), 5);
  EXPECT_EQ(smaller, (std::vector<void*>{&sixteen, &top, &five, &seven, &other}));

  // Outs may be null; a prefix length out of range or another family gives nothing.
  EXPECT_TRUE(iplist_get_overlapped(list.get(), ip("10.0.0.0"), 24, nullptr, nullptr));
  EXPECT_FALSE(iplist_get_overlapped(list.get(), ip("10.0.0.0"), 33, &exact, &covering));
  EXPECT_FALSE(iplist_get_overlapped(list.get(), ip("::"), 0, &exact, &covering));
  EXPECT_EQ(iplist_get_smaller_subnets(anchor, ip("::"), 0, &smaller), 0);
  EXPECT_EQ(iplist_get_smaller_subnets(anchor, ip("10.0.0.0"), 8, nullptr), -1);

  // Many results: the array grows as needed.
  std::vector<int> hosts(100);
  for (int i = 0; i < 100; ++i) {
    cvnet_ipaddr h = ip("172.16.0.0");
    h.addr[3] = static_cast<uint8_t>(i);
    ASSERT_EQ(iplist_add_cidr(list.get(), h, 32, &hosts[i]), 0);
  }
  anchor = iplist_get_overlapped(list.get(), ip("172.16.0.0"), 12, &exact, &covering);
  ASSERT_EQ(iplist_get_smaller_subnets(anchor, ip("172.16.0.0"), 12, &smaller), 100);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(smaller[i], &hosts[i]);
}

TEST(IplistTest, RangeSplittingIntoAlignedPrefixes) {
  EXPECT_EQ(split("10.0.0.0", "10.0.0.255"), V{"10.0.0.0/24"});
  EXPECT_EQ(split("10.0.0.1", "10.0.0.6"),
            (V{"10.0.0.1/32", "10.0.0.2/31", "10.0.0.4/31", "10.0.0.6/32"}));
  EXPECT_EQ(split("0.0.0.0", "255.255.255.255"), V{"0.0.0.0/0"});
  EXPECT_EQ(split("255.255.255.255", "255.255.255.255"), V{"255.255.255.255/32"});
  EXPECT_EQ(split("255.255.255.254", "255.255.255.255"), V{"255.255.255.254/31"});
  EXPECT_EQ(split("128.0.0.0", "255.255.255.255"), V{"128.0.0.0/1"});
  EXPECT_EQ(split("10.0.0.7", "10.0.0.7"), V{"10.0.0.7/32"});
  EXPECT_EQ(split("::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), V{"::/0"});
  EXPECT_EQ(split("2001:db8::1", "2001:db8::6"),
            (V{"2001:db8::1/128", "2001:db8::2/127", "2001:db8::4/127", "2001:db8::6/128"}));
  EXPECT_EQ(
      split("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"),
      V{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"});
  // The longest IPv4 split: 62 prefixes.
  EXPECT_EQ(split("0.0.0.1", "255.255.255.254").size(), 62u);

  // The maximum count: exactly enough succeeds, one short fails with ENOMEM.
  EXPECT_EQ(split("10.0.0.1", "10.0.0.6", 4).size(), 4u);
  EXPECT_EQ(split("10.0.0.1", "10.0.0.6", 3), V{"ENOMEM"});
  EXPECT_EQ(split("10.0.0.1", "10.0.0.1", 0), V{"ENOMEM"});
  EXPECT_EQ(split("10.0.0.9", "10.0.0.1"), V{"EINVAL"});
  EXPECT_EQ(split("2001:db8::9", "2001:db8::1"), V{"EINVAL"});
  // Ends of different families are refused, whatever their bytes.
  EXPECT_EQ(split("0.0.0.1", "::2"), V{"EINVAL"});
  EXPECT_EQ(split("::1", "0.0.0.2"), V{"EINVAL"});
  std::vector<iplist_subnet> out;
  errno = 0;
  EXPECT_EQ(iplist_iprange_to_subnets(ip("10.0.0.1"), ip("10.0.0.2"), nullptr, 256), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(iplist_iprange_to_subnets(cvnet_ipaddr{}, cvnet_ipaddr{}, &out, 256), -1);
  EXPECT_EQ(errno, EINVAL);

  // A limit on host bits: 257 single addresses need 257 prefixes.
  errno = 0;
  EXPECT_EQ(iplist_iprange_to_subnets_limited(ip("10.0.0.0"), ip("10.0.1.0"), &out, 256, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(iplist_iprange_to_subnets_limited(ip("10.0.0.0"), ip("10.0.0.255"), &out, 256, 0), 256);
  EXPECT_EQ(text(out[255]), "10.0.0.255/32");
  ASSERT_EQ(iplist_iprange_to_subnets_limited(ip("10.0.0.0"), ip("10.0.3.255"), &out, 256, 8), 4);
  EXPECT_EQ(text(out[3]), "10.0.3.0/24");
  EXPECT_EQ(iplist_iprange_to_subnets_limited(ip("10.0.0.0"), ip("10.0.0.3"), &out, 256, -1), -1);
}

TEST(IplistTest, RangeHostNames) {
  auto is_range = [](std::string_view s, bool bracketed = false) {
    return iplist_hostname_is_ip_range(s, bracketed);
  };
  for (const char* yes : {"1.2.3.4-1.2.3.9", "0x0a.1-0x0a.2", "0-0", "017.1-0.00", "0X1f-9",
                          "10-4294967295", "1.2.3.4-1"}) {
    EXPECT_EQ(is_range(yes), 1) << yes;
  }
  for (const char* no : {"1.2.3.4", "1.2.3.4-1.2.3.5-1.2.3.6", "08.1-08.2", "a.b-c.d", "", "-",
                         "1.-2", "1.2-", "1.2-.3", "0x-1", "0x1.2-0xg", "00x1-1", "1..2-3", "-1.2",
                         "1.2.3.4-1.2.3.5 ", "1a-2", "1.2.3.4 - 1.2.3.5"}) {
    EXPECT_EQ(is_range(no), 0) << no;
  }
  EXPECT_EQ(is_range("2001:db8::1-2001:db8::9", true), 1);
  EXPECT_EQ(is_range("[2001:db8::1-2001:db8::9"), 1);
  EXPECT_EQ(is_range("::ffff:1.2.3.4-::ffff:1.2.3.5", true), 1);
  EXPECT_EQ(is_range("2001:db8::1", true), 0);
  EXPECT_EQ(is_range("2001:db8::1-2001:db8::2-::3", true), 0);
  EXPECT_EQ(is_range("2001:db8::g-2001:db8::9", true), 0);
  EXPECT_EQ(is_range("[2001:db8::1-2001:db8::9]"), 0);
  // Only the given length, or the text up to a NUL, is read.
  EXPECT_EQ(is_range(std::string_view("1.2.3.4-1.2.3.9xyz", 15)), 1);
  EXPECT_EQ(is_range(std::string_view("1.2.3.4-1.2.3.9\0-7", 18)), 1);
  EXPECT_EQ(is_range(std::string_view("1.2.3.4-", 7)), 0);
}

TEST(IplistTest, RangeTextConversion) {
  cvnet_ipaddr first, last;
  ASSERT_EQ(iplist_rangestring_to_ips("1.2.3.4-1.2.3.9", &first, &last), 0);
  EXPECT_EQ(cvnet_ntoa(first).value(), "1.2.3.4");
  EXPECT_EQ(cvnet_ntoa(last).value(), "1.2.3.9");
  ASSERT_EQ(iplist_rangestring_to_ips("2001:db8::1-2001:db8::9 \n", &first, &last), 0);
  EXPECT_EQ(cvnet_ntoa(last).value(), "2001:db8::9");
  // Mixed families convert; splitting refuses them.
  ASSERT_EQ(iplist_rangestring_to_ips("1.2.3.4-::9", &first, &last), 0);
  EXPECT_EQ(first.family, 2);
  EXPECT_EQ(last.family, 10);
  for (const char* bad : {"1.2.3.4", "1.2.3.4-", "-1.2.3.4", "1.2.3.4-1.2.3.5-1.2.3.6",
                          "0x0a.1-0x0a.2", "1.2.3.4-1.2.3.5x"}) {
    EXPECT_EQ(iplist_rangestring_to_ips(bad, &first, &last), -1) << bad;
  }
  // The first part may have up to 46 characters (here an address followed by white space).
  std::string first46 = "1.2.3.4" + std::string(39, ' ');
  EXPECT_EQ(iplist_rangestring_to_ips(first46 + "-1.2.3.5", &first, &last), 0);
  EXPECT_EQ(iplist_rangestring_to_ips(first46 + " -1.2.3.5", &first, &last), -1);
}

TEST(IplistTest, TextAndNetmaskForms) {
  cvnet_ipaddr a;
  int cidr = -7;
  auto parse = [&](const char* s) {
    cidr = -7;
    if (iplist_subnetstring_to_ip_and_cidr(s, &a, &cidr) != 0) return std::string("bad");
    return cvnet_ntoa(a).value() + "/" + std::to_string(cidr);
  };
  EXPECT_EQ(parse("10.1.0.0/16"), "10.1.0.0/16");
  EXPECT_EQ(parse("10.1.2.3"), "10.1.2.3/32");
  EXPECT_EQ(parse("0.0.0.0"), "0.0.0.0/0");
  EXPECT_EQ(parse("0.0.0.0/8"), "0.0.0.0/8");
  EXPECT_EQ(parse("::"), "::/0");
  EXPECT_EQ(parse("2001:db8::1"), "2001:db8::1/128");
  EXPECT_EQ(parse("2001:db8::/32"), "2001:db8::/32");
  for (const char* bad : {"1.2.3/8", "1.2.3.4/33", "1.2.3.4/", "1.2.3.256", "1.2.3.4/8x",
                          "1.2.3.0004", "1.2.3.4/0008", "::/129", "x", "", "1.2.3.4.5"}) {
    EXPECT_EQ(parse(bad), "bad") << bad;
    EXPECT_EQ(cidr, -7) << bad;
  }

  auto list = iplist_init(nullptr, nullptr);
  int d = 0;
  EXPECT_EQ(iplist_add_string(list.get(), "10.1.2.3/16", &d), 0);
  EXPECT_EQ(iplist_add_string(list.get(), "10.1.0.0/16", &d), -2);
  EXPECT_EQ(iplist_add_string(list.get(), "2001:db8::/32", &d), 0);
  EXPECT_EQ(iplist_add_string(list.get(), "not an address", &d), -1);
  EXPECT_EQ(iplist_add_subnet(list.get(), ip("192.168.7.9"), ip("255.255.255.0"), &d), 0);
  EXPECT_EQ(iplist_add_subnet(list.get(), ip("192.168.7.9"), ip("255.0.255.0"), &d), -1);
  EXPECT_EQ(iplist_add_subnet(list.get(), ip("192.168.7.9"), ip("ffff::"), &d), -1);
  EXPECT_EQ(prefixes(list.get()), (V{"10.1.0.0/16", "192.168.7.0/24", "2001:db8::/32"}));
  EXPECT_EQ(iplist_delete_subnet(list.get(), ip("192.168.7.0"), ip("255.255.255.0")), 0);
  EXPECT_EQ(iplist_delete_subnet(list.get(), ip("192.168.7.0"), ip("255.255.255.0")), 1);
  EXPECT_EQ(iplist_delete_subnet(list.get(), ip("192.168.7.0"), ip("255.255.0.255")), -1);

  EXPECT_EQ(iplist_subnet_size_to_bits(0), -1);
  EXPECT_EQ(iplist_subnet_size_to_bits(1), 0);
  EXPECT_EQ(iplist_subnet_size_to_bits(2), 1);
  EXPECT_EQ(iplist_subnet_size_to_bits(256), 8);
  EXPECT_EQ(iplist_subnet_size_to_bits(257), 9);
  EXPECT_EQ(iplist_subnet_size_to_bits(UINT64_MAX), 64);
}

TEST(IplistTest, AddRangeIsAllOrNothing) {
  released.clear();
  auto list = iplist_init(record_release, nullptr);
  int r = 1, blocker = 2;
  // Ends in either order.
  ASSERT_EQ(iplist_add_range(list.get(), "10.0.0.6-10.0.0.1", &r), 0);
  EXPECT_EQ(prefixes(list.get()), (V{"10.0.0.1/32", "10.0.0.2/31", "10.0.0.4/31", "10.0.0.6/32"}));
  EXPECT_EQ(iplist_find_data(list.get(), ip("10.0.0.5")), &r);
  EXPECT_EQ(iplist_find_data(list.get(), ip("10.0.0.7")), nullptr);
  EXPECT_EQ(iplist_delete_range(list.get(), "10.0.0.1-10.0.0.3"), 0);
  EXPECT_EQ(released.size(), 2u);
  EXPECT_EQ(iplist_delete_range(list.get(), "10.0.0.1-10.0.0.6"), 1);  // 4/31 and 6/32 removed
  EXPECT_EQ(iplist_count(list.get()), 0u);
  released.clear();

  // A prefix of the range is already stored: nothing of the range stays, and the range's
  // data is not released by the undo.
  ASSERT_EQ(iplist_add_cidr(list.get(), ip("10.0.0.4"), 31, &blocker), 0);
  EXPECT_EQ(iplist_add_range(list.get(), "10.0.0.1-10.0.0.6", &r), -2);
  EXPECT_EQ(prefixes(list.get()), V{"10.0.0.4/31"});
  EXPECT_TRUE(released.empty());

  EXPECT_EQ(iplist_add_range(list.get(), "10.0.0.1", &r), -1);
  EXPECT_EQ(iplist_add_range(list.get(), "2001:db8::1-2001:db8::2", &r), -1);
  EXPECT_EQ(iplist_add_range(list.get(), "10.0.0.1-::2", &r), -1);
  EXPECT_EQ(iplist_add_range(list.get(), "0x0a.1-0x0a.2", &r), -1);
  EXPECT_EQ(iplist_delete_range(list.get(), "junk"), -1);
  EXPECT_EQ(iplist_count(list.get()), 1u);
}

TEST(IplistTest, WalkVisitsIpv4FirstInTrieOrder) {
  auto list = iplist_init(nullptr, nullptr);
  int d = 0;
  for (const char* p : {"::1", "10.0.0.0/8", "10.128.0.0/9", "10.0.0.0/9", "9.0.0.0/8", "::/0"}) {
    ASSERT_EQ(iplist_add_string(list.get(), p, &d), 0) << p;
  }
  // Left subtree, node, right subtree: 10.0.0.0/9 (next bit 0) before 10.0.0.0/8.
  EXPECT_EQ(prefixes(list.get()),
            (V{"9.0.0.0/8", "10.0.0.0/9", "10.0.0.0/8", "10.128.0.0/9", "::1/128", "::/0"}));
  EXPECT_EQ(iplist_walk(nullptr, [](const iplist_subnet&, void*) {}), 0u);
}
