#include "records/cvnet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

cvnet_ipaddr ip(const char* text) {
  cvnet_ipaddr a;
  EXPECT_EQ(cvnet_aton(text, &a), 0) << text;
  return a;
}

}  // namespace

TEST(CvnetTest, AtonParsesBothFamiliesAndTrailingSpaceOnly) {
  cvnet_ipaddr a;
  ASSERT_EQ(cvnet_aton("10.0.0.1", &a), 0);
  EXPECT_EQ(a.family, 2);
  EXPECT_EQ(a.addr[0], 10);
  EXPECT_EQ(a.addr[3], 1);
  ASSERT_EQ(cvnet_aton("10.0.0.1  ", &a), 0);
  EXPECT_EQ(cvnet_ntoa(a).value(), "10.0.0.1");
  ASSERT_EQ(cvnet_aton("2001:db8::1\t\r\n", &a), 0);
  EXPECT_EQ(a.family, 10);
  EXPECT_EQ(a.addr[0], 0x20);
  EXPECT_EQ(a.addr[15], 1);

  // Failures leave the default address, IPv4 255.255.255.255.
  for (const char* bad :
       {"x", "", " 10.0.0.1", "10.0.0", "10.0.0.256", "1.2.3.4x", "::1::2", "1.2.3.4 5"}) {
    a.family = 10;
    a.addr[0] = 7;
    EXPECT_EQ(cvnet_aton(bad, &a), -1) << bad;
    EXPECT_EQ(a.family, 2) << bad;
    EXPECT_EQ(cvnet_isdefaultip(a), 1) << bad;
  }
  // Bytes after an embedded NUL or past any address length are not ignored.
  EXPECT_EQ(cvnet_aton(std::string_view("1.2.3.4\0junk", 12), &a), -1);
  EXPECT_EQ(cvnet_aton(std::string(200, '1'), &a), -1);
  EXPECT_EQ(cvnet_aton("10.0.0.1" + std::string(500, ' '), &a), 0);
}

TEST(CvnetTest, TextFormsAndBufferLimits) {
  char buf[64];
  EXPECT_STREQ(cvnet_ntohost(ip("::1"), buf, sizeof buf), "[::1]");
  EXPECT_STREQ(cvnet_ntohost(ip("192.0.2.7"), buf, sizeof buf), "192.0.2.7");
  EXPECT_EQ(cvnet_ntohost(ip("::1"), buf, 5), nullptr);  // "[::1]" needs 6 bytes
  EXPECT_STREQ(cvnet_ntohost(ip("::1"), buf, 6), "[::1]");
  EXPECT_EQ(cvnet_ntop(ip("192.0.2.7"), buf, 9), nullptr);
  EXPECT_STREQ(cvnet_ntop(ip("192.0.2.7"), buf, 10), "192.0.2.7");
  EXPECT_STREQ(cvnet_ntop(ip("2001:db8::a:1"), buf, sizeof buf), "2001:db8::a:1");

  cvnet_ipaddr none;  // family 0
  EXPECT_EQ(cvnet_ntop(none, buf, sizeof buf), nullptr);
  EXPECT_EQ(cvnet_ntohost(none, buf, sizeof buf), nullptr);
  EXPECT_FALSE(cvnet_ntoa(none).has_value());
  EXPECT_EQ(cvnet_ntoa(ip("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255")).value(),
            "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
}

TEST(CvnetTest, CompareLooksAtTheFamilysBytesOnly) {
  cvnet_ipaddr a = ip("10.1.2.3"), b = ip("10.1.2.3");
  b.addr[9] = 0x55;  // beyond the IPv4 bytes
  EXPECT_EQ(cvnet_compare(a, b), 0);
  EXPECT_EQ(cvnet_hash_input(a), cvnet_hash_input(b));
  b.addr[3] = 4;
  EXPECT_EQ(cvnet_compare(a, b), 1);
  EXPECT_EQ(cvnet_compare(ip("::1"), ip("::1")), 0);
  EXPECT_EQ(cvnet_compare(ip("::1"), ip("::2")), 1);
  cvnet_ipaddr v4_zero = ip("0.0.0.0"), v6_zero = ip("::");
  EXPECT_EQ(cvnet_compare(v4_zero, v6_zero), 1);
  EXPECT_NE(cvnet_hash_input(v4_zero), cvnet_hash_input(v6_zero));
  cvnet_ipaddr x, y;
  x.family = y.family = 7;
  y.addr[0] = 1;
  EXPECT_EQ(cvnet_compare(x, y), 0);
}

TEST(CvnetTest, NetmasksAndRanges) {
  EXPECT_EQ(cvnet_netmask_to_cidr("255.255.255.0"), 24);
  EXPECT_EQ(cvnet_netmask_to_cidr("255.255.255.255"), 32);
  EXPECT_EQ(cvnet_netmask_to_cidr("0.0.0.0"), 0);
  EXPECT_EQ(cvnet_netmask_to_cidr("255.255.254.0"), 23);
  EXPECT_EQ(cvnet_netmask_to_cidr("255.0.255.0"), -1);
  EXPECT_EQ(cvnet_netmask_to_cidr("255.255.253.0"), -1);
  EXPECT_EQ(cvnet_netmask_to_cidr("ffff:ffff::"), 32);
  EXPECT_EQ(cvnet_netmask_to_cidr("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe"), 127);
  EXPECT_EQ(cvnet_netmask_to_cidr("ffff::1"), -1);
  EXPECT_EQ(cvnet_netmask_to_cidr("mask"), -1);

  EXPECT_EQ(cvnet_fallin_range(ip("10.1.2.3"), ip("10.1.0.0"), ip("255.255.0.0")), 0);
  EXPECT_EQ(cvnet_fallin_range(ip("10.2.2.3"), ip("10.1.0.0"), ip("255.255.0.0")), 1);
  EXPECT_EQ(cvnet_fallin_range(ip("2001:db8::5"), ip("2001:db8::"), ip("ffff:ffff::")), 0);
  EXPECT_EQ(cvnet_fallin_range(ip("10.1.2.3"), ip("::"), ip("::")), 1);

  cvnet_ipaddr m;
  ASSERT_EQ(cvnet_singleip_subnet(ip("::1"), &m), 0);
  EXPECT_EQ(cvnet_netmask_prefix(m), 128);
  ASSERT_EQ(cvnet_singleip_subnet(ip("1.2.3.4"), &m), 0);
  EXPECT_EQ(cvnet_ntoa(m).value(), "255.255.255.255");
  EXPECT_EQ(cvnet_singleip_subnet(cvnet_ipaddr{}, &m), -1);

  EXPECT_EQ(cvnet_addr(ip("1.2.3.4")), htonl(0x01020304u));
  EXPECT_EQ(cvnet_addr(ip("::1")), 0xffffffffu);
  EXPECT_EQ(cvnet_isdefaultip(ip("255.255.255.254")), 0);
}
