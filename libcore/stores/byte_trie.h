#pragma once
// A byte trie: maps byte strings to 32-bit values and answers "which stored keys are
// prefixes of this text?" in one walk, longest key first. The keyword list keeps one per
// first byte of its keywords and scans every position of a URL with it, so the walk is the
// hot path: it allocates nothing and costs one child step per byte where keys branch.
//
// Layout. Nodes live in one vector and refer to each other by 32-bit index. A node keeps up
// to 6 children inline (keys and indices side by side, found by a short linear scan); the 7th
// child moves them into a 256-entry table of its own, which only busy nodes near the root
// need. Below the last branch a key usually goes on alone: such a rest of up to 30 bytes is
// kept in the node itself as a tail and compared in one go, instead of as a chain of
// single-child nodes that a scan would visit one cold cache line at a time. A later key that
// shares part of a tail splits it one byte at a time. 44 bytes per node, plus 1 KiB per node
// with more than 6 children.
//
//   node: value | parent | dense | count | tail_len | area[30]
//         area = keys[6] kids[6] (children)  or  the tail bytes (tail node)
//
// A tail node stands for its prefix plus its tail; its value belongs to that whole key, and
// the prefix itself is no key. Keys may hold any byte, NUL included; the empty key is stored
// on the root.
//
// Thread safety: const members may run on several threads at once; insert needs exclusive
// access.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  // REQUIRES: value != npos. Throws std::bad_alloc when memory runs out; every key stored
  // before stays found with its value.
  uint32_t insert(std::string_view key, uint32_t value);

  // Calls f(value, key_length) for every stored key that is a prefix of `text` (the empty
  // key included), longest first, and stops early when f returns false. Returns false when
  // f stopped the walk, true otherwise.
  template <class F>
  bool fetch_matches(std::string_view text, F&& f) const;

  // Number of keys stored.
  size_t size() const { return size_; }
  // Bytes held by nodes and child tables (for memory accounting).
  size_t memory_bytes() const {
    return nodes_.capacity() * sizeof(node) + dense_.capacity() * sizeof(dense_[0]);
  }
  size_t node_count() const { return nodes_.size(); }
  size_t table_count() const { return dense_.size(); }

 private:
  static constexpr int kInline = 6;
  static constexpr int kTailMax = 30;
  struct node {
    uint32_t value = npos;
    uint32_t parent = npos;
    uint32_t dense = npos;  // index into dense_, or npos while the children are inline
    uint8_t count = 0;      // inline children
    uint8_t tail_len = 0;   // > 0: a tail node, area holds the tail
    unsigned char area[kTailMax] = {};

    uint32_t kid(int i) const {
      uint32_t k;
      std::memcpy(&k, area + kInline + 4 * i, 4);
      return k;
    }
    void set_kid(int i, uint32_t k) { std::memcpy(area + kInline + 4 * i, &k, 4); }
  };

  uint32_t child(uint32_t n, unsigned char b) const {
    const node& nd = nodes_[n];
    if (nd.dense != npos) return dense_[nd.dense][b];
    for (int i = 0; i < nd.count; i++) {
      if (nd.area[i] == b) return nd.kid(i);
    }
    return npos;
  }
  uint32_t add_child(uint32_t n, unsigned char b);
  void split_tail(uint32_t n);

  std::vector<node> nodes_;
  std::vector<std::array<uint32_t, 256>> dense_;
  size_t size_ = 0;
};

template <class F>
bool byte_trie::fetch_matches(std::string_view text, F&& f) const {
  // Walk as deep as the text goes and remember the deepest node that ends a key; the
  // shorter keys are then its ancestors that end a key, found on the way back up. A tail
  // node ends the walk; its key is the longest match when the text holds its tail.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  uint32_t cur = 0;
  uint32_t deepest = npos;
  size_t deepest_len = 0;
  size_t i = 0;
  for (;;) {
    const node& nd = nodes_[cur];
    if (nd.tail_len > 0) {
      if (nd.tail_len <= n - i && std::memcmp(nd.area, p + i, nd.tail_len) == 0) {
        if (!f(nd.value, i + nd.tail_len)) return false;
      }
      break;
    }
    if (nd.value != npos) {
      deepest = cur;
      deepest_len = i;
    }
    if (i == n) break;
    const uint32_t next = child(cur, p[i]);
    if (next == npos) break;
    cur = next;
    i++;
  }
  if (deepest == npos) return true;
  size_t len = deepest_len;
  for (uint32_t m = deepest; m != npos; m = nodes_[m].parent, len--) {
    if (nodes_[m].value != npos && !f(nodes_[m].value, len)) return false;
    if (m == 0) break;
  }
  return true;
}
