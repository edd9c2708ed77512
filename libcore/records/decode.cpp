#include "records/decode.h"

#include <cstring>

namespace {

// Value of one escape character: a decimal digit counts its value, anything else
// (lower-case code - 87), so a-f and A-F give 10-15. Only the low four bits are kept by the
// caller, which is what makes unchecked non-hex bytes harmless.
int url_nibble(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
  return static_cast<int>(c) - 87;
}

// Digit value of a base64 character, -1 for characters that are skipped.
int base64_digit(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 0;
  return -1;
}

}  // namespace

std::string cvurldecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 1 >= n) break;     // a trailing "%" ends the text
      if (i + 2 >= n) continue;  // "%x" at the end: drop the "%", copy x next round
      const int hi = url_nibble(static_cast<unsigned char>(text[i + 1]));
      const int lo = url_nibble(static_cast<unsigned char>(text[i + 2]));
      out.push_back(static_cast<char>(((hi & 0x0f) << 4) | (lo & 0x0f)));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::string> cvurldecode(const char* text) {
  if (!text) return std::nullopt;
  std::string out = cvurldecode(std::string_view(text));
  // Read as a C text the result ends at its first NUL.
  out.resize(std::strlen(out.c_str()));
  return out;
}

size_t base64_decode(std::string_view text, char* output, size_t length) {
  size_t produced = 0;
  unsigned int group = 0;
  int digits = 0;
  for (const char ch : text) {
    if (produced + 4 >= length) break;
    const int d = base64_digit(static_cast<unsigned char>(ch));
    if (d < 0) continue;
    group = (group << 6) | static_cast<unsigned int>(d);
    if (++digits == 4) {
      output[produced++] = static_cast<char>((group >> 16) & 0xff);
      output[produced++] = static_cast<char>((group >> 8) & 0xff);
      output[produced++] = static_cast<char>(group & 0xff);
      group = 0;
      digits = 0;
    }
  }
  output[produced] = '\0';
  while (produced > 0 && output[produced - 1] == '\0') --produced;
  return produced;
}
