#pragma once
// patricia: a path-compressed binary trie of address prefixes, one per address family.
//
// Every stored prefix has exactly one node; internal "glue" nodes exist only where two
// subtrees branch and no prefix sits at the branching bit. The shape is therefore fully
// determined by the set of stored prefixes, not by the order of insertion, and so are the
// orders of `walk` and `for_each_within`.
//
// A node's `bit` is the prefix length of a prefix node, or the branching bit of a glue node;
// its `key` holds the first `bit` bits of every address below it (the rest is zero). A child
// of a node with bit b is chosen by bit b of the address (bit 0 is the most significant).
//
// Nodes live in fixed-size chunks addressed by 32-bit indices, so a node costs 24 bytes for
// IPv4 and 48 for IPv6 and the children of a node are found without pointer chasing through
// separately allocated prefix records. The search key is passed by value and never
// allocated: lookups allocate nothing. A trie of 1,024 prefixes or more also keeps a jump
// table (one 8-byte entry per two prefixes, at most 2^20 entries) that resolves the first
// levels of a best-match descent in one step; inserts and removals keep it exact.
//
// Thread safety: const member functions may run on several threads at once; any other
// call needs exclusive access. Node indices returned by the queries stay valid until the
// next insert, remove or clear.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

using patricia_u128 = unsigned __int128;

// Number of patricia tries alive in the process (all families). Used to check that owners
// release what they create.
int patricia_live_tries();

namespace patricia_detail {
void count_trie(int delta);

inline int clz(uint32_t x) { return __builtin_clz(x); }
inline int clz(patricia_u128 x) {
  uint64_t hi = static_cast<uint64_t>(x >> 64);
  return hi != 0 ? __builtin_clzll(hi) : 64 + __builtin_clzll(static_cast<uint64_t>(x));
}
}  // namespace patricia_detail

template <typename Key>
class patricia {
 public:
  using index = uint32_t;
  static constexpr int kBits = static_cast<int>(sizeof(Key) * 8);
  static constexpr index kNone = 0;
  static_assert(kBits == 32 || kBits == 128, "IPv4 or IPv6 keys only");

  struct node {
    Key key;
    index child[2];
    uint8_t bit;
    uint8_t has_prefix;
    void* data;
  };

  patricia() { patricia_detail::count_trie(1); }
  ~patricia() {
    clear(nullptr);
    patricia_detail::count_trie(-1);
  }
  patricia(const patricia&) = delete;
  patricia& operator=(const patricia&) = delete;

  // The first `len` bits of key; len is 0..kBits.
  static Key mask(Key key, int len) {
    if (len <= 0) return 0;
    if (len >= kBits) return key;
    return key & ~(~Key(0) >> len);
  }
  static int bit_at(Key key, int i) { return static_cast<int>((key >> (kBits - 1 - i)) & 1); }
  // True when a and b differ in their first len bits.
  static bool differ(Key a, Key b, int len) { return mask(a ^ b, len) != 0; }
  // First bit at which a and b differ, or `limit` when their first `limit` bits agree.
  static int first_difference(Key a, Key b, int limit) {
    Key x = mask(a ^ b, limit);
    return x == 0 ? limit : patricia_detail::clz(x);
  }

  // Stores the prefix (key, len) with `data`; the key bits past len are ignored.
  // Returns 0 when added, -2 when exactly this prefix is already stored (its data is left
  // alone). REQUIRES 0 <= len <= kBits. Throws std::bad_alloc with the trie unchanged.
  int insert(Key key, int len, void* data) {
    key = mask(key, len);
    reserve_nodes(2);
    index* link = &root_;
    int owner_bit = -1;  // bit of the node that owns `link`; -1 for the root link
    for (;;) {
      index n = *link;
      if (n == kNone) {
        *link = make_node(key, len, true, data);
        after_change(key, owner_bit + 1);
        return 0;
      }
      node& nd = at(n);
      int limit = nd.bit < len ? nd.bit : len;
      int diff = first_difference(key, nd.key, limit);
      if (diff < limit) {
        // The new prefix leaves n's path before either ends: branch at the first difference.
        index leaf = make_node(key, len, true, data);
        index glue = make_node(mask(key, diff), diff, false, nullptr);
        int side = bit_at(key, diff);
        at(glue).child[side] = leaf;
        at(glue).child[1 - side] = n;
        *link = glue;
        after_change(key, owner_bit + 1);
        return 0;
      }
      if (nd.bit == len) {
        if (nd.has_prefix) return -2;
        nd.has_prefix = 1;
        nd.data = data;
        ++prefixes_;
        after_change(key, len);
        return 0;
      }
      if (nd.bit > len) {
        // The new prefix contains n: it takes n's place with n below it.
        index up = make_node(key, len, true, data);
        at(up).child[bit_at(nd.key, len)] = n;
        *link = up;
        after_change(key, owner_bit + 1);
        return 0;
      }
      owner_bit = nd.bit;
      link = &nd.child[bit_at(key, nd.bit)];
    }
  }

  // Node holding exactly (key, len), or kNone.
  index find_exact(Key key, int len) const {
    key = mask(key, len);
    index n = root_;
    while (n != kNone) {
      const node& nd = at(n);
      if (nd.bit >= len) break;
      n = nd.child[bit_at(key, nd.bit)];
    }
    if (n == kNone) return kNone;
    const node& nd = at(n);
    return nd.bit == len && nd.has_prefix && nd.key == key ? n : kNone;
  }

  // Node of the longest stored prefix containing the full-length address `key` that
  // `accept` (when not null) accepts, or kNone. Asks `accept` from the longest candidate
  // down and stops at the first accepted one.
  index best_match(Key key, bool (*accept)(void* data) = nullptr) const {
    if (accept == nullptr) {
      index best = kNone;
      index n = root_;
      if (jump_bits_ != 0) {
        const jump& j = jump_[static_cast<size_t>(key >> (kBits - jump_bits_))];
        best = j.best;
        n = j.start;
      }
      while (n != kNone) {
        const node& nd = at(n);
        if (differ(key, nd.key, nd.bit)) break;
        if (nd.has_prefix) best = n;
        if (nd.bit >= kBits) break;
        n = nd.child[bit_at(key, nd.bit)];
      }
      return best;
    }
    index path[kBits + 3];
    int count = 0;
    index n = root_;
    while (n != kNone) {
      const node& nd = at(n);
      if (differ(key, nd.key, nd.bit)) break;
      if (nd.has_prefix) path[count++] = n;
      if (nd.bit >= kBits) break;
      n = nd.child[bit_at(key, nd.bit)];
    }
    while (count > 0) {
      index c = path[--count];
      if (accept(at(c).data)) return c;
    }
    return kNone;
  }

  // Removes the node holding exactly (key, len); its data goes to *data. Returns 0, or 1
  // when the prefix is not stored.
  int remove(Key key, int len, void** data) {
    key = mask(key, len);
    index* link = &root_;
    index* parent_link = nullptr;
    index parent = kNone;
    int owner_bit = -1, parent_owner_bit = -1;  // as in insert
    while (*link != kNone && at(*link).bit < len) {
      parent_link = link;
      parent_owner_bit = owner_bit;
      parent = *link;
      owner_bit = at(parent).bit;
      link = &at(parent).child[bit_at(key, at(parent).bit)];
    }
    index n = *link;
    if (n == kNone) return 1;
    node& nd = at(n);
    if (nd.bit != len || !nd.has_prefix || nd.key != key) return 1;
    *data = nd.data;
    --prefixes_;
    if (nd.child[0] != kNone && nd.child[1] != kNone) {
      nd.has_prefix = 0;  // still needed as the branching point
      nd.data = nullptr;
      after_change(key, len);
      return 0;
    }
    index only = nd.child[0] != kNone ? nd.child[0] : nd.child[1];
    *link = only;
    free_node(n);
    if (only == kNone && parent != kNone && !at(parent).has_prefix) {
      // A glue node left with one child no longer branches: splice it out.
      node& p = at(parent);
      *parent_link = p.child[0] != kNone ? p.child[0] : p.child[1];
      free_node(parent);
      owner_bit = parent_owner_bit;
    }
    after_change(key, owner_bit + 1);
    return 0;
  }

  // For the prefix (key, len): *exact is the node holding exactly it, *covering the node of
  // the longest stored prefix strictly shorter that contains it (kNone when absent).
  // *anchor is the node to start `for_each_within` from: the exact node, else the deepest
  // node on the search path that branches before len, else the root (kNone only for an
  // empty trie). Every stored prefix inside (key, len) lies below the anchor.
  void overlapped(Key key, int len, index* exact, index* covering, index* anchor) const {
    key = mask(key, len);
    *exact = *covering = kNone;
    index above = kNone;
    index n = root_;
    while (n != kNone) {
      const node& nd = at(n);
      if (nd.bit >= len) break;
      above = n;
      if (differ(key, nd.key, nd.bit)) {
        n = kNone;
        break;
      }
      if (nd.has_prefix) *covering = n;
      n = nd.child[bit_at(key, nd.bit)];
    }
    if (n != kNone && at(n).bit == len && at(n).has_prefix && at(n).key == key) *exact = n;
    *anchor = *exact != kNone ? *exact : above != kNone ? above : root_;
  }

  // Calls fn(node index) for every stored prefix in the subtree of `anchor` (the anchor
  // included) that lies strictly inside (key, len): longer than len and equal to key on
  // len bits. Pre-order: node, left subtree, right subtree. Returns false (and stops) when
  // fn returns false.
  template <typename Fn>
  bool for_each_within(index anchor, Key key, int len, Fn&& fn) const {
    if (anchor == kNone) return true;
    key = mask(key, len);
    index stack[2 * kBits + 4];
    int top = 0;
    stack[top++] = anchor;
    while (top > 0) {
      index n = stack[--top];
      const node& nd = at(n);
      int limit = nd.bit < len ? nd.bit : len;
      if (differ(key, nd.key, limit)) continue;  // nothing below lies inside
      if (nd.has_prefix && nd.bit > len && !fn(n)) return false;
      if (nd.child[1] != kNone) stack[top++] = nd.child[1];
      if (nd.child[0] != kNone) stack[top++] = nd.child[0];
    }
    return true;
  }

  // Calls fn(node index) for every stored prefix: left subtree, node, right subtree.
  // Returns the number of calls.
  template <typename Fn>
  size_t walk(Fn&& fn) const {
    size_t count = 0;
    index stack[kBits + 4];
    int top = 0;
    index n = root_;
    while (n != kNone || top > 0) {
      while (n != kNone) {
        stack[top++] = n;
        n = at(n).child[0];
      }
      n = stack[--top];
      if (at(n).has_prefix) {
        fn(n);
        ++count;
      }
      n = at(n).child[1];
    }
    return count;
  }

  // Removes every node, passing the data of each prefix node to `release` when both are
  // not null. The trie is empty afterwards and keeps no memory.
  void clear(void (*release)(void* data)) {
    if (release != nullptr && root_ != kNone) {
      index stack[kBits + 4];
      int top = 0;
      stack[top++] = root_;
      while (top > 0) {
        const node& nd = at(stack[--top]);
        if (nd.child[1] != kNone) stack[top++] = nd.child[1];
        if (nd.child[0] != kNone) stack[top++] = nd.child[0];
        if (nd.has_prefix && nd.data != nullptr) release(nd.data);
      }
    }
    root_ = kNone;
    jump_.clear();
    jump_.shrink_to_fit();
    jump_bits_ = 0;
    chunks_.clear();
    chunks_.shrink_to_fit();
    next_ = 1;
    free_ = kNone;
    live_ = 0;
    prefixes_ = 0;
  }

  const node& at(index i) const { return chunks_[i >> kChunkShift][i & (kChunkSize - 1)]; }
  void* data(index i) const { return at(i).data; }
  int prefix_len(index i) const { return at(i).bit; }
  Key prefix_key(index i) const { return at(i).key; }
  bool empty() const { return root_ == kNone; }
  index root() const { return root_; }
  size_t prefix_count() const { return prefixes_; }
  size_t node_count() const { return live_; }
  // Bits of the address that the jump table resolves (0: no table).
  int jump_bits() const { return jump_bits_; }
  size_t memory_bytes() const {
    return chunks_.size() * kChunkSize * sizeof(node) + chunks_.capacity() * sizeof(chunks_[0]) +
           jump_.capacity() * sizeof(jump);
  }

 private:
  // The jump table replaces the first levels of a descent in a large trie. Entry e covers the
  // addresses whose first jump_bits_ bits are e: `start` is the first node of their search
  // path that branches at or after bit jump_bits_ (kNone when the path ends earlier), `best`
  // the longest stored prefix above it that contains them. With about one entry per four
  // prefixes a lookup in a million-entry trie visits 3 or 4 nodes instead of 20 or more.
  struct jump {
    index start;
    index best;
  };
  static constexpr size_t kJumpMinPrefixes = 1024;
  static constexpr int kJumpMaxBits = 20;

  // Recomputes one entry from the trie.
  void jump_fill(size_t e) {
    Key k = static_cast<Key>(e) << (kBits - jump_bits_);
    index best = kNone;
    index n = root_;
    while (n != kNone && at(n).bit < jump_bits_) {
      const node& nd = at(n);
      if (differ(k, nd.key, nd.bit)) {
        n = kNone;
        break;
      }
      if (nd.has_prefix) best = n;
      n = nd.child[bit_at(k, nd.bit)];
    }
    jump_[e] = jump{n, best};
  }

  // Keeps the jump table right after a change below the links of the addresses that share
  // the first `bits` bits of key (every entry whose search path can pass the change), and
  // grows the table as the trie grows. Never throws: without memory for a larger table the
  // current one stays, still correct.
  void after_change(Key key, int bits) {
    int want = 0;
    if (prefixes_ >= kJumpMinPrefixes) {
      want = 63 - __builtin_clzll(prefixes_) - 1;
      if (want > kJumpMaxBits) want = kJumpMaxBits;
    }
    if (want > jump_bits_) {
      try {
        std::vector<jump> bigger(size_t{1} << want);
        jump_.swap(bigger);
        jump_bits_ = want;
        for (size_t e = 0; e < jump_.size(); ++e) jump_fill(e);
        return;
      } catch (const std::bad_alloc&) {
      }
    }
    if (jump_bits_ == 0) return;
    if (bits >= jump_bits_) {
      jump_fill(static_cast<size_t>(key >> (kBits - jump_bits_)));
      return;
    }
    size_t first = static_cast<size_t>(mask(key, bits) >> (kBits - jump_bits_));
    size_t count = size_t{1} << (jump_bits_ - bits);
    for (size_t e = first; e < first + count; ++e) jump_fill(e);
  }

  static constexpr int kChunkShift = 12;
  static constexpr index kChunkSize = index(1) << kChunkShift;

  node& at(index i) { return chunks_[i >> kChunkShift][i & (kChunkSize - 1)]; }

  // Makes sure the next k make_node calls cannot fail.
  void reserve_nodes(index k) {
    if (next_ > UINT32_MAX - k) throw std::bad_alloc();
    while (((next_ + k - 1) >> kChunkShift) >= chunks_.size()) {
      chunks_.push_back(std::make_unique<node[]>(kChunkSize));
    }
  }
  index make_node(Key key, int bit, bool has_prefix, void* data) {
    index i;
    if (free_ != kNone) {
      i = free_;
      free_ = at(i).child[0];
    } else {
      i = next_++;
    }
    node& nd = at(i);
    nd.key = key;
    nd.child[0] = nd.child[1] = kNone;
    nd.bit = static_cast<uint8_t>(bit);
    nd.has_prefix = has_prefix ? 1 : 0;
    nd.data = data;
    ++live_;
    if (has_prefix) ++prefixes_;
    return i;
  }
  void free_node(index i) {
    node& nd = at(i);
    nd.has_prefix = 0;
    nd.data = nullptr;
    nd.child[1] = kNone;
    nd.child[0] = free_;
    free_ = i;
    --live_;
  }

  std::vector<std::unique_ptr<node[]>> chunks_;
  std::vector<jump> jump_;
  int jump_bits_ = 0;
  index root_ = kNone;
  index next_ = 1;  // index 0 is the null index; its slot is never used
  index free_ = kNone;
  size_t live_ = 0;
  size_t prefixes_ = 0;
};

extern template class patricia<uint32_t>;
extern template class patricia<patricia_u128>;
