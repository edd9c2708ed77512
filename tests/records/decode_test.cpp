#include "records/decode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string b64(std::string_view text) {
  std::string out(text.size() + 1, '#');
  const size_t n = base64_decode(text, out.data(), text.size());
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}

}  // namespace

TEST(Cvurldecode, EscapesPlusAndLoosePercents) {
  EXPECT_EQ(cvurldecode("%41%4a+x%"), "AJ x");
  EXPECT_EQ(cvurldecode("%4"), "4");
  EXPECT_EQ(cvurldecode("%"), "");
  EXPECT_EQ(cvurldecode("a%"), "a");
  EXPECT_EQ(cvurldecode("%+"), " ");       // the "%" goes, the "+" is read as usual
  EXPECT_EQ(cvurldecode("%%"), "");        // the second "%" is then the last character
  EXPECT_EQ(cvurldecode("%4%41"), "N41");  // "%4%" is one escape: 4, then ('%' - 87) & 15
  EXPECT_EQ(cvurldecode("%zz"), std::string(1, static_cast<char>(0x33)));  // 'z' counts 35
  EXPECT_EQ(cvurldecode("%6A%6a"), "jj");
  EXPECT_EQ(cvurldecode("plain/path?q=1"), "plain/path?q=1");
  EXPECT_EQ(cvurldecode(""), "");
  // The view form keeps a decoded NUL; the C-text form ends there.
  EXPECT_EQ(cvurldecode(std::string_view("a%00b")), std::string("a\0b", 3));
  EXPECT_EQ(cvurldecode(static_cast<const char*>("a%00b")), "a");
  EXPECT_EQ(cvurldecode(static_cast<const char*>(nullptr)), std::nullopt);
}

TEST(Base64Decode, FourDigitsToThreeBytesWithTheLengthCheck) {
  EXPECT_EQ(b64("aGVsbG8gd29ybGQ="), "hello world");
  EXPECT_EQ(b64("aGVsbG8gd29ybGQ"), "hello wor");  // three digits left over
  // Four characters or fewer decode to nothing.
  EXPECT_EQ(b64("aGk="), "");
  EXPECT_EQ(b64("YQ"), "");
  EXPECT_EQ(b64(""), "");
  // Five characters are enough for one group.
  EXPECT_EQ(b64("YWJjx"), "abc");
  // Characters outside the alphabet are skipped; "=" is a zero digit.
  EXPECT_EQ(b64("YW*Jj.ZG\nVm"), "abcdef");
  EXPECT_EQ(b64("+/+/+/+/x"), "\xfb\xff\xbf\xfb\xff\xbf");
  // Trailing zero bytes are not counted, inner ones are.
  EXPECT_EQ(b64("AGEAAAAAx"), std::string("\0a\0", 3).substr(0, 2));
  // A smaller length than the text bounds the output.
  char out[8] = "#######";
  EXPECT_EQ(base64_decode("YWJjZGVmZ2hp", out, 7), 3u);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(base64_decode("YWJj", out, 0), 0u);
  EXPECT_EQ(out[0], '\0');
}
