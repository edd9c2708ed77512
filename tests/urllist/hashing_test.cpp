#include "urllist/hashing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "urllist/cityhash.h"

namespace {

// Every row of the reference table: it covers each length class of the algorithm, so a
// fault in any branch (0, 1-3, 4-8, 9-16, 17-32, 33-64, >64 bytes) changes some row.
TEST(CityHash64, MatchesEveryRowOfTheReferenceTable) {
  std::ifstream in(CV_TEST_DATA_DIR "/cityhash64.tsv", std::ios::binary);
  ASSERT_TRUE(in.is_open());
  std::string line;
  int rows = 0;
  size_t longest = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    std::string input = line.substr(tab + 1);
    unsigned long long expected = 0;
    ASSERT_EQ(std::sscanf(line.substr(0, tab).c_str(), "%llx", &expected), 1) << line;
    EXPECT_EQ(cityhash64(input.data(), input.size()), expected)
        << "input of " << input.size() << " bytes: " << input;
    longest = std::max(longest, input.size());
    ++rows;
  }
  EXPECT_GE(rows, 150);
  EXPECT_GT(longest, 64u);
}

TEST(CityHash64, KnownSchemeHashesAndUnalignedInput) {
  EXPECT_EQ(urllist_hash("*"), URLLIST_HASH_STAR);
  EXPECT_EQ(urllist_hash("http"), URLLIST_HASH_HTTP);
  EXPECT_EQ(urllist_hash("https"), URLLIST_HASH_HTTPS);
  urllist_hash_value out = 1;
  EXPECT_EQ(urllist_hash("https://x", 5, &out), 0);
  EXPECT_EQ(out, URLLIST_HASH_HTTPS);
  // The same bytes at every alignment give the same value (loads must not assume alignment).
  char buffer[200];
  std::string text(130, 'q');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
  for (size_t len : {3u, 7u, 15u, 31u, 63u, 130u}) {
    uint64_t reference = cityhash64(text.data(), len);
    for (int shift = 1; shift < 8; ++shift) {
      std::memcpy(buffer + shift, text.data(), len);
      EXPECT_EQ(cityhash64(buffer + shift, len), reference) << len << " " << shift;
    }
  }
}

TEST(HashText, RoundTripAndByteOrder) {
  char buffer[41];
  ASSERT_EQ(urllist_hash2str(URLLIST_HASH_STAR, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "5b91f9d796555833");
  EXPECT_EQ(urllist_hash2str(URLLIST_HASH_STAR), "5b91f9d796555833");
  urllist_hash_value value = 0;
  EXPECT_EQ(urllist_str2hash("5b91f9d796555833", 16, &value), 0);
  EXPECT_EQ(value, URLLIST_HASH_STAR);
  EXPECT_EQ(urllist_str2hash("5B91F9D796555833", &value), 0);
  EXPECT_EQ(value, URLLIST_HASH_STAR);
  EXPECT_EQ(urllist_str2hash("0000000000000080", &value), 0);
  EXPECT_EQ(value, 0x8000000000000000ULL);
  for (urllist_hash_value v : {urllist_hash_value{0}, ~urllist_hash_value{0},
                               urllist_hash_value{0x0123456789abcdef}, URLLIST_HASH_HTTPS}) {
    EXPECT_EQ(urllist_str2hash(urllist_hash2str(v), &value), 0);
    EXPECT_EQ(value, v);
  }
}

TEST(HashText, ExactSizeIsSeventeen) {
  char buffer[20];
  std::memset(buffer, 'x', sizeof buffer);
  // 16 bytes cannot hold 16 digits and the terminator: fail and write nothing.
  EXPECT_EQ(urllist_hash2str(URLLIST_HASH_STAR, buffer, 16), -1);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(urllist_hash2str(URLLIST_HASH_STAR, buffer, 0), -1);
  EXPECT_EQ(urllist_hash2str(URLLIST_HASH_STAR, buffer, 17), 0);
  EXPECT_STREQ(buffer, "5b91f9d796555833");
  EXPECT_EQ(buffer[17], 'x');
}

TEST(HashText, RejectsWrongLengthsAndNonHexDigits) {
  urllist_hash_value value = 99;
  EXPECT_EQ(urllist_str2hash("5b91f9d79655583", &value), -1);  // 15
  EXPECT_EQ(value, 0u);
  value = 99;
  EXPECT_EQ(urllist_str2hash("5b91f9d7965558330", &value), -1);  // 17
  EXPECT_EQ(value, 0u);
  value = 99;
  EXPECT_EQ(urllist_str2hash("", 0, &value), -1);
  EXPECT_EQ(value, 0u);
  value = 99;
  EXPECT_EQ(urllist_str2hash("g000000000000000", &value), -1);
  EXPECT_EQ(value, 0u);
  // Characters between "0" and "f" that are no digits fail too ("3G" is not "2f").
  for (char bad : {':', ';', '<', '=', '>', '?', '@', 'G', 'Z', '[', '_', '`', ' ', '\0'}) {
    std::string text = "0102" + std::string(1, bad) + "0000000000000000";
    text.resize(16);
    value = 99;
    EXPECT_EQ(urllist_str2hash(text, &value), -1) << "character " << int(bad);
    // The first two pairs were read; the failing pair and the rest stay zero.
    EXPECT_EQ(value, 0x0201u) << "character " << int(bad);
  }
  value = 99;
  EXPECT_EQ(urllist_str2hash("2f2f2f2f2f2f2f3G", &value), -1);
  EXPECT_EQ(value, 0x002f2f2f2f2f2f2fULL);
}

}  // namespace
