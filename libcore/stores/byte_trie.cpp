#include "stores/byte_trie.h"

#include <new>

byte_trie::byte_trie() { nodes_.emplace_back(); }

uint32_t byte_trie::find(std::string_view key) const {
  uint32_t cur = 0;
  for (unsigned char b : key) {
    cur = child(cur, b);
    if (cur == npos) return npos;
  }
  return nodes_[cur].value;
}

uint32_t byte_trie::add_child(uint32_t n, unsigned char b) {
  // Make room first, so that a failed allocation leaves the links untouched.
  if (nodes_.size() >= npos - 1) throw std::bad_alloc();
  nodes_.reserve(nodes_.size() + 1);
  if (nodes_[n].dense == npos && nodes_[n].count == kInline) {
    dense_.emplace_back();
    std::array<uint32_t, 256>& table = dense_.back();
    table.fill(npos);
    node& nd = nodes_[n];
    for (int i = 0; i < nd.count; i++) table[nd.keys[i]] = nd.kids[i];
    nd.dense = static_cast<uint32_t>(dense_.size() - 1);
    nd.count = 0;
  }
  const uint32_t k = static_cast<uint32_t>(nodes_.size());
  nodes_.emplace_back();
  nodes_[k].parent = n;
  node& nd = nodes_[n];
  if (nd.dense != npos) {
    dense_[nd.dense][b] = k;
  } else {
    nd.keys[nd.count] = b;
    nd.kids[nd.count] = k;
    nd.count++;
  }
  return k;
}

uint32_t byte_trie::insert(std::string_view key, uint32_t value) {
  uint32_t cur = 0;
  for (unsigned char b : key) {
    uint32_t next = child(cur, b);
    if (next == npos) next = add_child(cur, b);
    cur = next;
  }
  if (nodes_[cur].value != npos) return nodes_[cur].value;
  nodes_[cur].value = value;
  size_++;
  return value;
}
