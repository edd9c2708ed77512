#pragma once
// A byte trie: maps byte strings to 32-bit values and answers "which stored keys are
// prefixes of this text?" in one walk, longest key first. The keyword list keeps one per
// first byte of its keywords and scans every position of a URL with it, so the walk is the
// hot path: it allocates nothing and costs one child step per byte of the longest match.
//
// Layout. Nodes live in one vector and refer to each other by 32-bit index. A node keeps up
// to 7 children inline (keys and indices side by side, found by a short linear scan); the 8th
// child moves them into a 256-entry table of its own, which only busy nodes near the root
// need. 48 bytes per node, plus 1 KiB per node with more than 7 children.
//
//   node: value | parent | dense | count | keys[7] | kids[7]
//
// Keys may hold any byte, NUL included; the empty key is stored on the root.
//
// Thread safety: const members may run on several threads at once; insert needs exclusive
// access.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class byte_trie {
 public:
  static constexpr uint32_t npos = UINT32_MAX;

  byte_trie();

  // The value stored under exactly `key`, or npos.
  uint32_t find(std::string_view key) const;

  // Stores `value` under `key` unless the key is present. Returns the value stored under the
  // key after the call: `value` when it was added, the earlier value otherwise.
  // REQUIRES: value != npos. Throws std::bad_alloc when memory runs out; the trie then holds
  // what it held before (plus possibly some valueless nodes, which change no answer).
  uint32_t insert(std::string_view key, uint32_t value);

  // Calls f(value, key_length) for every stored key that is a prefix of `text` (the empty
  // key included), longest first, and stops early when f returns false. Returns false when
  // f stopped the walk, true otherwise.
  template <class F>
  bool fetch_matches(std::string_view text, F&& f) const;

  // Number of keys stored.
  size_t size() const { return size_; }

 private:
  static constexpr int kInline = 7;
  struct node {
    uint32_t value = npos;
    uint32_t parent = npos;
    uint32_t dense = npos;  // index into dense_, or npos while the children are inline
    uint8_t count = 0;      // inline children
    uint8_t keys[kInline] = {};
    uint32_t kids[kInline] = {};
  };

  uint32_t child(uint32_t n, unsigned char b) const {
    const node& nd = nodes_[n];
    if (nd.dense != npos) return dense_[nd.dense][b];
    for (int i = 0; i < nd.count; i++) {
      if (nd.keys[i] == b) return nd.kids[i];
    }
    return npos;
  }
  uint32_t add_child(uint32_t n, unsigned char b);

  std::vector<node> nodes_;
  std::vector<std::array<uint32_t, 256>> dense_;
  size_t size_ = 0;
};

template <class F>
bool byte_trie::fetch_matches(std::string_view text, F&& f) const {
  // Walk as deep as the text goes and remember the deepest node that ends a key; the
  // shorter keys are then its ancestors that end a key, found on the way back up.
  uint32_t cur = 0;
  uint32_t deepest = nodes_[0].value != npos ? 0 : npos;
  size_t deepest_len = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size(); i++) {
    cur = child(cur, p[i]);
    if (cur == npos) break;
    if (nodes_[cur].value != npos) {
      deepest = cur;
      deepest_len = i + 1;
    }
  }
  size_t len = deepest_len;
  for (uint32_t n = deepest; n != npos; n = nodes_[n].parent, len--) {
    if (nodes_[n].value != npos && !f(nodes_[n].value, len)) return false;
    if (n == 0) break;
  }
  return true;
}
