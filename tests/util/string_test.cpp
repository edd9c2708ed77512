#include "util/string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> texts(const std::vector<char*>& pieces) {
  return std::vector<std::string>(pieces.begin(), pieces.end());
}

using strings = std::vector<std::string>;

}  // namespace

TEST(StringExplodeTest, CutsAtEverySeparatorKeepingEmptyPieces) {
  char a[] = "a:b:";
  EXPECT_EQ(texts(string_explode(a, ':')), (strings{"a", "b", ""}));
  char b[] = "a,,b";
  auto pieces = string_explode(b, ',');
  EXPECT_EQ(texts(pieces), (strings{"a", "", "b"}));
  EXPECT_EQ(pieces[0], b) << "pieces point into the caller's buffer";
  EXPECT_EQ(pieces[2], b + 3);
  char empty[] = "";
  EXPECT_EQ(texts(string_explode(empty, ',')), (strings{""}));
  char none[] = "abc";
  EXPECT_EQ(texts(string_explode(none, ',')), (strings{"abc"}));
  char only[] = ",";
  EXPECT_EQ(texts(string_explode(only, ',')), (strings{"", ""}));
  EXPECT_TRUE(string_explode(nullptr, ',').empty());
  // A NUL separator never matches the terminator.
  char z[] = "xy";
  EXPECT_EQ(texts(string_explode(z, '\0')), (strings{"xy"}));
}

TEST(StringExplodeTest, LimitCutsOnlyTheFirstSeparators) {
  char a[] = "a b c d";
  int count = -1;
  EXPECT_EQ(texts(string_explode_limit(a, ' ', 2, &count)), (strings{"a", "b c d"}));
  EXPECT_EQ(count, 2);
  char b[] = "a b c d";
  EXPECT_EQ(texts(string_explode_limit(b, ' ', 1, &count)), (strings{"a b c d"}));
  EXPECT_EQ(count, 1);
  char c[] = "a b c d";
  EXPECT_EQ(texts(string_explode_limit(c, ' ', -5, &count)), (strings{"a b c d"}));
  EXPECT_EQ(count, 1);
  char d[] = "a b";
  EXPECT_EQ(texts(string_explode_limit(d, ' ', 10, &count)), (strings{"a", "b"}));
  EXPECT_EQ(count, 2);
  char e[] = "a  b c";
  EXPECT_EQ(texts(string_explode_limit(e, ' ', 3, nullptr)), (strings{"a", "", "b c"}));
  count = 77;
  EXPECT_TRUE(string_explode_limit(nullptr, ' ', 3, &count).empty());
  EXPECT_EQ(count, 77) << "null text leaves the count untouched";
}

TEST(StringExplodeTest, QuotesProtectSpaces) {
  char a[] = "one \"two three\" four";
  EXPECT_EQ(texts(string_explode_quotes(a)), (strings{"one", "\"two three\"", "four"}));
  char b[] = "a  \"x y";  // unbalanced quote keeps the rest together
  EXPECT_EQ(texts(string_explode_quotes(b)), (strings{"a", "", "\"x y"}));
  EXPECT_TRUE(string_explode_quotes(nullptr).empty());
}

TEST(StringImplodeTest, EveryPieceIsFollowedByTheSeparator) {
  std::vector<const char*> p = {"a", "", "b"};
  EXPECT_EQ(string_implode(p, ','), "a,,b,");
  EXPECT_EQ(string_nimplode(p, 2, ','), "a,,");
  EXPECT_EQ(string_nimplode(p, 9, '/'), "a//b/");
  std::vector<const char*> with_end = {"x", nullptr, "y"};
  EXPECT_EQ(string_implode(with_end, ' '), "x ");
  EXPECT_EQ(string_implode(std::vector<const char*>{}, ','), "");
  char text[] = "k=v&a=b";
  EXPECT_EQ(string_implode(string_explode(text, '&'), '&'), "k=v&a=b&");
}

TEST(StringCaseTest, LowerCasing) {
  char a[] = "AbC-XYZ\xC4";
  EXPECT_EQ(string_tolower(a), 0);
  EXPECT_STREQ(a, "abc-xyz\xC4");  // C locale: bytes above 127 unchanged
  EXPECT_EQ(string_tolower(nullptr), 0);
  char b[] = "MiXeD 1";
  EXPECT_EQ(string_lcase(b), b);
  EXPECT_STREQ(b, "mixed 1");
  EXPECT_EQ(string_lcase(nullptr), nullptr);
}

TEST(StringLowercaseUrlTest, DecodesLowersAndTurnsSpacesIntoPlus) {
  char a[] = "A%2Fb%20C d%zz";
  char* end = string_lowercase_url(a);
  EXPECT_STREQ(a, "a/b+c+d%zz");
  EXPECT_EQ(end, a + strlen(a));
  EXPECT_EQ(*end, '\0');

  char b[] = "%4a%4A%%41%";  // "%%41": first "%" kept, then "%41" decoded
  string_lowercase_url(b);
  EXPECT_STREQ(b, "jj%a%");
  char c[] = "%4";  // one digit before the end
  string_lowercase_url(c);
  EXPECT_STREQ(c, "%4");
  char d[] = "x%00y";  // an encoded NUL: the end pointer still tells the true length
  end = string_lowercase_url(d);
  EXPECT_EQ(end - d, 3);
  EXPECT_EQ(std::string(d, 3), std::string("x\0y", 3));
  EXPECT_EQ(string_lowercase_url(nullptr), nullptr);
}

TEST(StringReplaceTest, ByteReplacement) {
  char a[] = "a.b.c";
  EXPECT_EQ(string_replace(a, '.', '/'), a);
  EXPECT_STREQ(a, "a/b/c");
  EXPECT_EQ(string_replace(nullptr, 'a', 'b'), nullptr);
}

TEST(StringReplaceTest, FirstOccurrenceOnly) {
  EXPECT_EQ(string_replace_string("abcabc", "bc", "X"), "aXabc");
  EXPECT_EQ(string_replace_string("abc", "zz", "X"), "abc");
  EXPECT_EQ(string_replace_string("abc", "", "X"), "abc");
  EXPECT_EQ(string_replace_string("abc", "abc", ""), "");
  EXPECT_EQ(string_replace_string(nullptr, "a", "b"), std::nullopt);
  EXPECT_EQ(string_replace_string("a", nullptr, "b"), std::nullopt);
  EXPECT_EQ(string_replace_string("a", "a", nullptr), std::nullopt);
}

TEST(StringReplaceTest, GlobalReplacementResumesAfterEachMatch) {
  EXPECT_EQ(string_replace_string_global("aaa", "aa", "b"), "ba");
  EXPECT_EQ(string_replace_string_global("100%", "%", "%%"), "100%%");
  EXPECT_EQ(string_replace_string_global("%a%b%", "%", "%%"), "%%a%%b%%");
  EXPECT_EQ(string_replace_string_global("abab", "ab", "abab"), "abababab");
  EXPECT_EQ(string_replace_string_global("xyz", "q", "r"), "xyz");
  EXPECT_EQ(string_replace_string_global("long text", "long ", ""), "text");
  // An empty pattern gives a copy instead of looping forever.
  EXPECT_EQ(string_replace_string_global("abc", "", "X"), "abc");
  EXPECT_EQ(string_replace_string_global(nullptr, "a", "b"), std::nullopt);
  EXPECT_EQ(string_replace_string_global("a", nullptr, "b"), std::nullopt);
  EXPECT_EQ(string_replace_string_global("a", "a", nullptr), std::nullopt);
}

TEST(StringCountTest, NonOverlappingOccurrences) {
  EXPECT_EQ(string_count_string_occurences("aaaa", "aa"), 2u);
  EXPECT_EQ(string_count_string_occurences("aaaaa", "aa"), 2u);
  EXPECT_EQ(string_count_string_occurences("abcabc", "c"), 2u);
  EXPECT_EQ(string_count_string_occurences("abc", "abcd"), 0u);
  EXPECT_EQ(string_count_string_occurences_l("abcabc", "bcX", 2), 2u);
  EXPECT_EQ(string_count_string_occurences_l("abc", "a", 0), 0u);
  EXPECT_EQ(string_count_string_occurences(nullptr, "a"), 0u);
  EXPECT_EQ(string_count_string_occurences("a", nullptr), 0u);
  EXPECT_EQ(string_count_string_occurences("a", ""), 0u);
}

TEST(StringTruncateTest, DotsWithinTheLimit) {
  EXPECT_EQ(string_truncate_withdots("abcdefgh", 8), "abcd...");
  EXPECT_EQ(string_truncate_withdots("abcdefgh", 9), "abcdefgh");
  EXPECT_EQ(string_truncate_withdots("abcdefgh", 4), "...");
  EXPECT_EQ(string_truncate_withdots("abc", 4), "abc");
  // Below 4 there is no room for the dots: a plain cut that still stays below the limit.
  EXPECT_EQ(string_truncate_withdots("abcdefgh", 3), "ab");
  EXPECT_EQ(string_truncate_withdots("abcdefgh", 1), "");
  EXPECT_EQ(string_truncate_withdots("abcdefgh", 0), "");
  EXPECT_EQ(string_truncate_withdots("abcdefgh", -7), "");
  EXPECT_EQ(string_truncate_withdots("", 0), "");
  EXPECT_EQ(string_truncate_withdots("ab", 3), "ab");
  EXPECT_EQ(string_truncate_withdots(nullptr, 10), std::nullopt);
  for (int limit = -2; limit < 12; limit++) {
    auto r = string_truncate_withdots("0123456789", limit);
    ASSERT_TRUE(r);
    EXPECT_LT(static_cast<int>(r->size()), std::max(limit, 1)) << limit;
  }
}

TEST(StringHexTest, PairsToBytes) {
  unsigned char out[4] = {0x55, 0x55, 0x55, 0x55};
  EXPECT_EQ(string_hex_to_bin("0aF", out, 4), 0);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xF0);
  EXPECT_EQ(out[2], 0x55);

  unsigned char g[2] = {0x55, 0x55};
  EXPECT_EQ(string_hex_to_bin("0g", g, 2), 1);
  EXPECT_EQ(g[0], 0x55);
  EXPECT_EQ(string_hex_to_bin("abzz", g, 2), 1);
  EXPECT_EQ(g[0], 0xAB) << "pairs before the bad character stay written";
  EXPECT_EQ(string_hex_to_bin("x", g, 2), 1);

  unsigned char two[2] = {0, 0};
  EXPECT_EQ(string_hex_to_bin("0102zz", two, 2), 0) << "stops once out length bytes are full";
  EXPECT_EQ(two[0], 1);
  EXPECT_EQ(two[1], 2);

  unsigned char one[1] = {0x55};
  EXPECT_EQ(string_hex_to_bin("ab", one, -1), 0);
  EXPECT_EQ(one[0], 0x55);
  EXPECT_EQ(string_hex_to_bin("ab", one, 0), 1);
  EXPECT_EQ(string_hex_to_bin(nullptr, one, 1), 1);
  EXPECT_EQ(string_hex_to_bin("ab", nullptr, 1), 1);
  EXPECT_EQ(string_hex_to_bin("", one, 1), 0);
}

TEST(StringAppendTest, GrowsOrFailsLeavingTheTextIntact) {
  std::string s = "ab";
  EXPECT_EQ(string_append(s, "cdef", 2), 0);
  EXPECT_EQ(s, "abcd");
  EXPECT_EQ(string_add(s, "xy"), 0);
  EXPECT_EQ(s, "abcdxy");
  EXPECT_EQ(string_add(s, nullptr), -1);
  EXPECT_EQ(string_append(s, nullptr, 3), -1);
  EXPECT_EQ(string_append(s, "z", SIZE_MAX / 2), -1) << "too long a result";
  EXPECT_EQ(s, "abcdxy");
  EXPECT_EQ(string_append(s, nullptr, 0), 0);
}

TEST(StringUnescapeTest, BackslashEscapes) {
  char a[] = "a\\tb\\nc\\x41\\101\\7z\\q\\\\";
  long n = string_unescape_string(a);
  EXPECT_EQ(std::string(a, static_cast<size_t>(n)),
            "a\tb\ncAA\az"
            "q\\");
  char b[] = "\\xZ1\\x4";  // \x needs two hex digits, else the x is kept
  n = string_unescape_string(b);
  EXPECT_EQ(std::string(b, static_cast<size_t>(n)), "xZ1x4");
  char c[] = "end\\";
  EXPECT_EQ(string_unescape_string(c), 4);
  EXPECT_STREQ(c, "end\\");
  char d[] = "a\\0b\\1234";  // \0 gives a NUL; octal takes at most three digits
  n = string_unescape_string(d);
  EXPECT_EQ(std::string(d, static_cast<size_t>(n)), std::string("a\0bS4", 5));
  char e[] = "\\777";
  n = string_unescape_string(e);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(static_cast<unsigned char>(e[0]), 0xFF);
  EXPECT_EQ(string_unescape_string(nullptr), -1);
}

TEST(StringQuotesTest, ExtractFromQuotes) {
  EXPECT_EQ(string_extract_from_quotes("\"hello world\""), "hello world");
  EXPECT_EQ(string_extract_from_quotes("\"say \\\"hi\\\"\""), "say \"hi\"");
  EXPECT_EQ(string_extract_from_quotes("a\\tb\\\\c\\'d\\v"), "a\tb\\c'd\v");
  EXPECT_EQ(string_extract_from_quotes("keep\\z"), "keep\\z");
  EXPECT_EQ(string_extract_from_quotes("trail\\"), "trail\\");
  EXPECT_EQ(string_extract_from_quotes(nullptr), std::nullopt);
}

TEST(StringQuotesTest, ShellArgumentAndHtml) {
  EXPECT_EQ(string_escapeshellarg("it's"), "'it'\\''s'");
  EXPECT_EQ(string_escapeshellarg(""), "''");
  EXPECT_EQ(string_escapeshellarg(nullptr), std::nullopt);
  EXPECT_EQ(string_html_entities("<a href=\"x\">&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(string_html_entities("plain"), "plain");
  EXPECT_EQ(string_html_entities(nullptr), std::nullopt);
}

TEST(StringTrimTest, BothEnds) {
  char a[] = " \t x y \r\n";
  EXPECT_STREQ(string_rtrim(a), " \t x y");
  EXPECT_STREQ(string_ltrim(a), "x y");
  char b[] = "   ";
  EXPECT_STREQ(string_ltrim(b), "");
  char c[] = "   ";
  EXPECT_STREQ(string_rtrim(c), "");
  EXPECT_EQ(string_rtrim(nullptr), nullptr);
  EXPECT_EQ(string_ltrim(nullptr), nullptr);
}

TEST(StringNumberTest, WholeTextBase10) {
  EXPECT_EQ(string_extract_number("4294967295"), 4294967295u);
  EXPECT_EQ(string_extract_number("4294967296"), std::nullopt);
  EXPECT_EQ(string_extract_number("-1"), std::nullopt);
  EXPECT_EQ(string_extract_number("12a"), std::nullopt);
  EXPECT_EQ(string_extract_number(" 1"), std::nullopt);
  EXPECT_EQ(string_extract_number(""), std::nullopt);
  EXPECT_EQ(string_extract_number(nullptr), std::nullopt);
  EXPECT_EQ(string_extract_long_number("18446744073709551615"), ULONG_MAX);
  EXPECT_EQ(string_extract_long_number("18446744073709551616"), std::nullopt);
  EXPECT_EQ(string_extract_number_signed("-2147483648"), INT_MIN);
  EXPECT_EQ(string_extract_number_signed("2147483648"), std::nullopt);
  EXPECT_EQ(string_extract_number_signed("-"), std::nullopt);
}

TEST(StringNumberTest, DottedIpv4) {
  EXPECT_EQ(string_extract_ip("192.168.0.1"), 0xC0A80001u);
  EXPECT_EQ(string_extract_ip("0.0.0.0"), 0u);
  EXPECT_EQ(string_extract_ip("255.255.255.255"), 0xFFFFFFFFu);
  for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4 ", "a.b.c.d",
                          "1.2.3.0004", "", ".1.2.3", "1.2.3.-4"}) {
    EXPECT_EQ(string_extract_ip(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(string_extract_ip(nullptr), std::nullopt);
}

TEST(StringGrowTest, FormattedAppends) {
  str s = str_new();
  EXPECT_GE(s.text.capacity(), 1000u);
  EXPECT_EQ(str_add(s, "%s=%d;", "a", 1), 0);
  EXPECT_EQ(s.text, "a=1;");
  std::string big(2500, 'x');
  for (int i = 0; i < 3; i++) ASSERT_EQ(str_add(s, "%s", big.c_str()), 0);
  EXPECT_EQ(s.text.size(), 4u + 7500u);
  EXPECT_EQ(s.text.substr(0, 5), "a=1;x");
  EXPECT_EQ(s.text.back(), 'x');
  EXPECT_EQ(str_add(s, nullptr), -1);
}

TEST(StringSecurityKeyTest, TwentyAlphanumerics) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; i++) {
    std::string k = string_security_key();
    ASSERT_EQ(k.size(), 20u);
    for (char c : k) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << k;
    seen.insert(k);
  }
  EXPECT_EQ(seen.size(), 20u) << "keys repeat";
}
