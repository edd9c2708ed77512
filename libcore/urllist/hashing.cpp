#include "urllist/hashing.h"

#include "urllist/cityhash.h"

namespace {

// Value of a hexadecimal digit, or -1 for any other byte.
inline int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

int urllist_hash(const char* text, size_t length, urllist_hash_value* out) {
  *out = cityhash64(text, length);
  return 0;
}

urllist_hash_value urllist_hash(std::string_view text) { return cityhash64(text); }

int urllist_str2hash(const char* text, size_t length, urllist_hash_value* out) {
  *out = 0;
  if (length != URLLIST_HASH_TEXT_LEN) return -1;
  // Byte i of the text is byte i of the value in memory order, least significant first.
  urllist_hash_value value = 0;
  for (int i = 0; i < 8; ++i) {
    int high = hex_value(static_cast<unsigned char>(text[2 * i]));
    int low = hex_value(static_cast<unsigned char>(text[2 * i + 1]));
    if (high < 0 || low < 0) {
      *out = value;
      return -1;
    }
    value |= static_cast<urllist_hash_value>(high * 16 + low) << (8 * i);
  }
  *out = value;
  return 0;
}

int urllist_hash2str(urllist_hash_value hash, char* buffer, size_t size) {
  if (size < URLLIST_HASH_TEXT_SIZE) return -1;
  for (int i = 0; i < 8; ++i) {
    unsigned byte = static_cast<unsigned>(hash >> (8 * i)) & 0xffu;
    buffer[2 * i] = kHexDigits[byte >> 4];
    buffer[2 * i + 1] = kHexDigits[byte & 0xf];
  }
  buffer[URLLIST_HASH_TEXT_LEN] = '\0';
  return 0;
}

std::string urllist_hash2str(urllist_hash_value hash) {
  char buffer[URLLIST_HASH_TEXT_SIZE];
  urllist_hash2str(hash, buffer, sizeof buffer);
  return std::string(buffer, URLLIST_HASH_TEXT_LEN);
}
