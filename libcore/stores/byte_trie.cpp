#include "stores/byte_trie.h"

#include <new>

namespace {

// Makes room for one more element, doubling the capacity as push_back would, so that the
// push_back that follows cannot throw and leave the structure half changed.
template <class V>
void reserve_one_more(V& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() < 8 ? 8 : v.size() * 2);
}

}  // namespace

byte_trie::byte_trie() { nodes_.emplace_back(); }

uint32_t byte_trie::find(std::string_view key) const {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(key.data());
  uint32_t cur = 0;
  for (size_t i = 0;; i++) {
    const node& nd = nodes_[cur];
    if (nd.tail_len > 0) {
      return key.size() - i == nd.tail_len && std::memcmp(nd.area, p + i, nd.tail_len) == 0
                 ? nd.value
                 : npos;
    }
    if (i == key.size()) return nd.value;
    cur = child(cur, p[i]);
    if (cur == npos) return npos;
  }
}

uint32_t byte_trie::add_child(uint32_t n, unsigned char b) {
  // Make room first, so that a failed allocation leaves the links untouched.
  if (nodes_.size() >= npos - 1) throw std::bad_alloc();
  reserve_one_more(nodes_);
  if (nodes_[n].dense == npos && nodes_[n].count == kInline) {
    dense_.emplace_back();
    std::array<uint32_t, 256>& table = dense_.back();
    table.fill(npos);
    node& nd = nodes_[n];
    for (int i = 0; i < nd.count; i++) table[nd.area[i]] = nd.kid(i);
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
    nd.area[nd.count] = b;
    nd.set_kid(nd.count, k);
    nd.count++;
  }
  return k;
}

// Turns tail node n into a plain node whose one child carries the tail minus its first byte
// (or, for a one-byte tail, ends the key itself).
void byte_trie::split_tail(uint32_t n) {
  if (nodes_.size() >= npos - 1) throw std::bad_alloc();
  reserve_one_more(nodes_);  // add_child below then cannot fail
  node& nd = nodes_[n];
  unsigned char tail[kTailMax];
  const int len = nd.tail_len;
  const uint32_t value = nd.value;
  std::memcpy(tail, nd.area, len);
  nd.tail_len = 0;
  nd.value = npos;
  nd.count = 0;
  const uint32_t c = add_child(n, tail[0]);
  node& cn = nodes_[c];
  cn.value = value;
  cn.tail_len = static_cast<uint8_t>(len - 1);
  std::memcpy(cn.area, tail + 1, len - 1);
}

uint32_t byte_trie::insert(std::string_view key, uint32_t value) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(key.data());
  uint32_t cur = 0;
  size_t i = 0;
  for (;;) {
    node& nd = nodes_[cur];
    if (nd.tail_len > 0) {
      if (key.size() - i == nd.tail_len && std::memcmp(nd.area, p + i, nd.tail_len) == 0) {
        return nd.value;
      }
      split_tail(cur);
      continue;
    }
    if (i == key.size()) {
      if (nd.value != npos) return nd.value;
      nd.value = value;
      size_++;
      return value;
    }
    uint32_t next = child(cur, p[i]);
    if (next == npos) {
      next = add_child(cur, p[i]);
      const size_t rest = key.size() - i - 1;
      if (rest <= static_cast<size_t>(kTailMax)) {
        node& cn = nodes_[next];
        cn.tail_len = static_cast<uint8_t>(rest);
        std::memcpy(cn.area, p + i + 1, rest);
        cn.value = value;
        size_++;
        return value;
      }
    }
    cur = next;
    i++;
  }
}
