#pragma once
// URL hashing: the 64-bit part hashes that key every list tree, and their text form.
//
// A part hash (`urllist_hash_value`) is CityHash64 of the part text (cityhash.h). Its text
// form, used by hashed list entries, is exactly 16 hexadecimal digits giving the 8 bytes of
// the value LEAST significant byte first, two digits per byte, high nibble first:
// CityHash64("*") = 0x33585596d7f9915b has the text "5b91f9d796555833". That byte order is
// part of the list file format.
//
// All functions here are pure and may run in any number of threads at once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using urllist_hash_value = uint64_t;

// Hashes of the scheme texts that explode recognises without reading them, e.g. in entries
// whose parts are already hash texts.
inline constexpr urllist_hash_value URLLIST_HASH_STAR = 0x33585596d7f9915bULL;   // "*"
inline constexpr urllist_hash_value URLLIST_HASH_HTTP = 0x95d6bc6a71fa4d44ULL;   // "http"
inline constexpr urllist_hash_value URLLIST_HASH_HTTPS = 0x0c3f1153d4a46546ULL;  // "https"

// Length of a hash text, and the buffer size urllist_hash2str needs (text + terminator).
inline constexpr size_t URLLIST_HASH_TEXT_LEN = 16;
inline constexpr size_t URLLIST_HASH_TEXT_SIZE = 17;

// Stores CityHash64 of the `length` bytes at `text` (no terminator needed) into *out.
// Always returns 0. REQUIRES: out != null; text != null unless length is 0.
int urllist_hash(const char* text, size_t length, urllist_hash_value* out);

// The same as a value.
urllist_hash_value urllist_hash(std::string_view text);

// Parses a hash text into *out. Returns 0 on success, -1 on failure.
// *out is zeroed first. A text whose length is not 16 fails and leaves 0. Otherwise the
// pairs are read in order; only 0-9, A-F and a-f are digits, and the first pair that holds
// any other character fails the parse, leaving the bytes of the earlier pairs in *out and
// the others 0. REQUIRES: out != null; text != null unless length is 0.
int urllist_str2hash(const char* text, size_t length, urllist_hash_value* out);

inline int urllist_str2hash(std::string_view text, urllist_hash_value* out) {
  return urllist_str2hash(text.data(), text.size(), out);
}

// Writes the 16-digit lowercase hash text and its terminator into `buffer`.
// Returns 0, or -1 without writing anything when size < 17 (the text would not fit whole).
int urllist_hash2str(urllist_hash_value hash, char* buffer, size_t size);

// The hash text as a string (always 16 characters).
std::string urllist_hash2str(urllist_hash_value hash);
