#include "util/string.h"

#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string_view>

namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string implode_pieces(std::span<const char* const> pieces, size_t n, char separator) {
  std::string out;
  for (size_t i = 0; i < pieces.size() && i < n && pieces[i] != nullptr; i++) {
    out += pieces[i];
    out += separator;
  }
  return out;
}

template <typename T>
std::optional<T> parse_whole(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  const char* end = text + strlen(text);
  T value{};
  auto [ptr, ec] = std::from_chars(text, end, value, 10);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

std::vector<char*> string_explode(char* text, char separator) {
  std::vector<char*> pieces;
  if (text == nullptr) return pieces;
  size_t separators = 0;
  for (const char* p = text; (p = strchr(p, separator)) != nullptr && *p != '\0'; p++) {
    separators++;
  }
  pieces.reserve(separators + 1);
  char* start = text;
  for (size_t i = 0; i < separators; i++) {
    char* sep = strchr(start, separator);
    pieces.push_back(start);
    *sep = '\0';
    start = sep + 1;
  }
  pieces.push_back(start);
  return pieces;
}

std::vector<char*> string_explode_limit(char* text, char separator, int limit, int* count) {
  std::vector<char*> pieces;
  if (text == nullptr) return pieces;
  char* start = text;
  // strchr would find the terminating NUL when the separator is '\0'; never cut there.
  for (int i = 1; i < limit && separator != '\0'; i++) {
    char* sep = strchr(start, separator);
    if (sep == nullptr) break;
    pieces.push_back(start);
    *sep = '\0';
    start = sep + 1;
  }
  pieces.push_back(start);
  if (count != nullptr) *count = static_cast<int>(pieces.size());
  return pieces;
}

std::vector<char*> string_explode_quotes(char* text) {
  std::vector<char*> pieces;
  if (text == nullptr) return pieces;
  bool quoted = false;
  pieces.push_back(text);
  for (char* p = text; *p != '\0'; p++) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (*p == ' ' && !quoted) {
      *p = '\0';
      pieces.push_back(p + 1);
    }
  }
  return pieces;
}

std::string string_implode(std::span<const char* const> pieces, char separator) {
  return implode_pieces(pieces, pieces.size(), separator);
}
std::string string_nimplode(std::span<const char* const> pieces, size_t n, char separator) {
  return implode_pieces(pieces, n, separator);
}

int string_tolower(char* text) {
  if (text == nullptr) return 0;
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != '\0'; p++) {
    *p = static_cast<unsigned char>(tolower(*p));
  }
  return 0;
}

char* string_lcase(char* text) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p != '\0'; p++) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
  return text;
}

char* string_lowercase_url(char* text) {
  if (text == nullptr) return nullptr;
  unsigned char* in = reinterpret_cast<unsigned char*>(text);
  unsigned char* out = in;
  while (*in != '\0') {
    unsigned char c = *in++;
    if (c == '%') {
      int hi = hex_value(in[0]);
      // in[1] is read only when in[0] is a hex digit, hence not the terminating NUL.
      int lo = hi >= 0 ? hex_value(in[1]) : -1;
      if (lo >= 0) {
        c = static_cast<unsigned char>(hi << 4 | lo);
        in += 2;
      }
      // Otherwise the "%" itself is copied and scanning goes on behind it.
    }
    if (c == ' ') c = '+';
    *out++ = static_cast<unsigned char>(tolower(c));
  }
  *out = '\0';
  return reinterpret_cast<char*>(out);
}

char* string_replace(char* text, char from, char to) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p != '\0'; p++) {
    if (*p == from) *p = to;
  }
  return text;
}

char* string_rtrim(char* text) {
  if (text == nullptr) return nullptr;
  size_t n = strlen(text);
  while (n > 0 && is_space(static_cast<unsigned char>(text[n - 1]))) n--;
  text[n] = '\0';
  return text;
}

char* string_ltrim(char* text) {
  if (text == nullptr) return nullptr;
  size_t skip = 0;
  while (is_space(static_cast<unsigned char>(text[skip]))) skip++;
  if (skip > 0) memmove(text, text + skip, strlen(text + skip) + 1);
  return text;
}

long string_unescape_string(char* text) {
  if (text == nullptr) return -1;
  const char* in = text;
  char* out = text;
  while (*in != '\0') {
    if (*in != '\\' || in[1] == '\0') {
      *out++ = *in++;
      continue;
    }
    in++;  // past the backslash
    char c = *in++;
    switch (c) {
      case 'b':
        *out++ = '\b';
        break;
      case 'f':
        *out++ = '\f';
        break;
      case 'n':
        *out++ = '\n';
        break;
      case 'r':
        *out++ = '\r';
        break;
      case 't':
        *out++ = '\t';
        break;
      case 'x': {
        int hi = hex_value(static_cast<unsigned char>(in[0]));
        int lo = hi >= 0 ? hex_value(static_cast<unsigned char>(in[1])) : -1;
        if (lo >= 0) {
          *out++ = static_cast<char>(hi << 4 | lo);
          in += 2;
        } else {
          *out++ = 'x';
        }
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          unsigned value = static_cast<unsigned>(c - '0');
          for (int i = 0; i < 2 && *in >= '0' && *in <= '7'; i++) {
            value = value * 8 + static_cast<unsigned>(*in++ - '0');
          }
          *out++ = static_cast<char>(value & 0xFF);
        } else {
          *out++ = c;
        }
    }
  }
  *out = '\0';
  return out - text;
}

std::optional<std::string> string_replace_string(const char* text, const char* pattern,
                                                 const char* replacement) {
  if (text == nullptr || pattern == nullptr || replacement == nullptr) return std::nullopt;
  std::string_view t(text);
  size_t plen = strlen(pattern);
  size_t at = plen == 0 ? std::string_view::npos : t.find(std::string_view(pattern, plen));
  if (at == std::string_view::npos) return std::string(t);
  std::string out;
  out.reserve(t.size() - plen + strlen(replacement));
  out.append(t.substr(0, at)).append(replacement).append(t.substr(at + plen));
  return out;
}

std::optional<std::string> string_replace_string_global(const char* text, const char* pattern,
                                                        const char* replacement) {
  if (text == nullptr || pattern == nullptr || replacement == nullptr) return std::nullopt;
  std::string_view t(text);
  std::string_view pat(pattern);
  std::string_view rep(replacement);
  // An empty pattern would match at every position without advancing.
  if (pat.empty()) return std::string(t);
  size_t occurrences = string_count_string_occurences_l(text, pattern, pat.size());
  std::string out;
  out.reserve(t.size() + occurrences * rep.size() - occurrences * pat.size());
  size_t from = 0;
  for (size_t at; (at = t.find(pat, from)) != std::string_view::npos; from = at + pat.size()) {
    out.append(t.substr(from, at - from)).append(rep);
  }
  out.append(t.substr(from));
  return out;
}

size_t string_count_string_occurences_l(const char* text, const char* pattern, size_t pattern_len) {
  if (text == nullptr || pattern == nullptr || pattern_len == 0) return 0;
  std::string_view t(text);
  std::string_view pat(pattern, pattern_len);
  size_t n = 0;
  for (size_t at = t.find(pat); at != std::string_view::npos; at = t.find(pat, at + pat.size())) {
    n++;
  }
  return n;
}

size_t string_count_string_occurences(const char* text, const char* pattern) {
  if (pattern == nullptr) return 0;
  return string_count_string_occurences_l(text, pattern, strlen(pattern));
}

std::optional<std::string> string_truncate_withdots(const char* text, int limit) {
  if (text == nullptr) return std::nullopt;
  std::string_view t(text);
  if (limit > 0 && t.size() < static_cast<size_t>(limit)) return std::string(t);
  if (limit < 4) return std::string(t.substr(0, limit > 1 ? static_cast<size_t>(limit - 1) : 0));
  std::string out(t.substr(0, static_cast<size_t>(limit - 4)));
  out += "...";
  return out;
}

std::optional<std::string> string_escapeshellarg(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string out = "'";
  for (const char* p = text; *p != '\0'; p++) {
    if (*p == '\'') {
      out += "'\\''";
    } else {
      out += *p;
    }
  }
  out += '\'';
  return out;
}

std::optional<std::string> string_html_entities(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string out;
  out.reserve(strlen(text));
  for (const char* p = text; *p != '\0'; p++) {
    switch (*p) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += *p;
    }
  }
  return out;
}

std::optional<std::string> string_extract_from_quotes(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string out;
  for (const char* p = text; *p != '\0'; p++) {
    if (*p == '"') continue;
    if (*p == '\\' && p[1] != '\0') {
      char resolved = 0;
      switch (p[1]) {
        case '"':
          resolved = '"';
          break;
        case '\'':
          resolved = '\'';
          break;
        case '\\':
          resolved = '\\';
          break;
        case 'a':
          resolved = '\a';
          break;
        case 'b':
          resolved = '\b';
          break;
        case 'f':
          resolved = '\f';
          break;
        case 'n':
          resolved = '\n';
          break;
        case 'r':
          resolved = '\r';
          break;
        case 't':
          resolved = '\t';
          break;
        case 'v':
          resolved = '\v';
          break;
      }
      if (resolved != 0) {
        out += resolved;
        p++;
        continue;
      }
    }
    out += *p;
  }
  return out;
}

std::string string_security_key() {
  static constexpr char alphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device rd;
  std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) - 2);
  std::string key(20, '\0');
  for (char& c : key) c = alphabet[pick(rd)];
  return key;
}

int string_hex_to_bin(const char* hex, unsigned char* out, int out_len) {
  if (hex == nullptr || out == nullptr || out_len == 0) return 1;
  for (int i = 0; i < out_len && hex[0] != '\0'; i++, hex += 2) {
    int hi = hex_value(static_cast<unsigned char>(hex[0]));
    if (hi < 0) return 1;
    if (hex[1] == '\0') {
      out[i] = static_cast<unsigned char>(hi << 4);
      return 0;
    }
    int lo = hex_value(static_cast<unsigned char>(hex[1]));
    if (lo < 0) return 1;
    out[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return 0;
}

std::optional<unsigned int> string_extract_number(const char* text) {
  return parse_whole<unsigned int>(text);
}
std::optional<unsigned long> string_extract_long_number(const char* text) {
  return parse_whole<unsigned long>(text);
}
std::optional<int> string_extract_number_signed(const char* text) { return parse_whole<int>(text); }

std::optional<uint32_t> string_extract_ip(const char* text) {
  if (text == nullptr) return std::nullopt;
  uint32_t ip = 0;
  const char* p = text;
  for (int part = 0; part < 4; part++) {
    if (part > 0 && *p++ != '.') return std::nullopt;
    unsigned value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
      if (++digits > 3) return std::nullopt;
      value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    if (digits == 0 || value > 255) return std::nullopt;
    ip = ip << 8 | value;
  }
  if (*p != '\0') return std::nullopt;
  return ip;
}

int string_append(std::string& text, const char* bytes, size_t count) {
  if (count == 0) return 0;
  if (bytes == nullptr) return -1;
  try {
    // std::string::append gives the strong guarantee: on failure `text` is as before.
    text.append(bytes, count);
  } catch (const std::bad_alloc&) {
    return -1;
  } catch (const std::length_error&) {
    return -1;
  }
  return 0;
}

int string_add(std::string& text, const char* s) {
  if (s == nullptr) return -1;
  return string_append(text, s, strlen(s));
}

str str_new() {
  str s;
  s.text.reserve(1000);
  return s;
}

int str_add(str& s, const char* format, ...) {
  if (format == nullptr) return -1;
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int needed = vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  int rc = -1;
  if (needed >= 0) {
    size_t old = s.text.size();
    try {
      size_t want = old + static_cast<size_t>(needed);
      if (want > s.text.capacity()) s.text.reserve(s.text.capacity() + needed + 3000);
      s.text.resize(want);
      // vsnprintf writes a NUL behind the text; std::string keeps room for it.
      vsnprintf(s.text.data() + old, static_cast<size_t>(needed) + 1, format, again);
      rc = 0;
    } catch (const std::exception&) {
      s.text.resize(old);
    }
  }
  va_end(again);
  return rc;
}
