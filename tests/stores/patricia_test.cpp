#include "stores/patricia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace {

// Checks a trie against a plain map of prefixes after random inserts and removals. The
// keys are drawn from few distinct high and low bits so that prefixes nest and collide a lot.
template <typename Key>
class TrieModel {
 public:
  using trie = patricia<Key>;
  static constexpr int W = trie::kBits;

  // high_bits: how many leading key bits vary; insert_pct: share of inserts among changes.
  TrieModel(uint32_t seed, int high_bits, int insert_pct)
      : rng_(seed), high_bits_(high_bits), insert_pct_(insert_pct) {}

  const trie& t() const { return t_; }

  Key random_key() {
    Key high = static_cast<Key>(rng_() & ((1u << high_bits_) - 1)) << (W - high_bits_);
    Key low = static_cast<Key>(rng_() & 0xf);
    return high | low;
  }
  int random_len() {
    switch (rng_() % 4) {
      case 0:
        return W;
      case 1:
        return static_cast<int>(rng_() % 13);
      default:
        return static_cast<int>(rng_() % (W + 1));
    }
  }

  void step() {
    int len = random_len();
    Key k = trie::mask(random_key(), len);
    auto id = std::make_pair(k, len);
    if (static_cast<int>(rng_() % 100) < insert_pct_) {
      void* data = reinterpret_cast<void*>(++serial_);
      int r = t_.insert(k, len, data);
      if (model_.count(id)) {
        ASSERT_EQ(r, -2);
      } else {
        ASSERT_EQ(r, 0);
        model_[id] = data;
      }
    } else {
      void* data = nullptr;
      int r = t_.remove(k, len, &data);
      auto it = model_.find(id);
      if (it == model_.end()) {
        ASSERT_EQ(r, 1);
      } else {
        ASSERT_EQ(r, 0);
        ASSERT_EQ(data, it->second);
        model_.erase(it);
      }
    }
  }

  void check() {
    ASSERT_EQ(t_.prefix_count(), model_.size());
    // No glue node without two children: at most 2n - 1 nodes for n prefixes.
    if (model_.empty()) {
      ASSERT_EQ(t_.node_count(), 0u);
    } else {
      ASSERT_LE(t_.node_count(), 2 * model_.size() - 1);
    }
    for (int i = 0; i < 200; ++i) {
      Key a = i % 2 ? random_key() : static_cast<Key>(rng_()) << (W - 32);
      void* want = nullptr;
      int best = -1;
      for (auto& [p, d] : model_) {
        if (p.second > best && trie::mask(a, p.second) == p.first) {
          best = p.second;
          want = d;
        }
      }
      auto n = t_.best_match(a);
      ASSERT_EQ(n == trie::kNone ? nullptr : t_.data(n), want);

      int len = random_len();
      Key k = trie::mask(a, len);
      uint32_t exact, covering, anchor;
      t_.overlapped(k, len, &exact, &covering, &anchor);
      auto it = model_.find({k, len});
      ASSERT_EQ(exact == trie::kNone ? nullptr : t_.data(exact),
                it == model_.end() ? nullptr : it->second);
      ASSERT_EQ(t_.find_exact(k, len), exact);
      void* want_cover = nullptr;
      int cover_len = -1;
      std::vector<std::pair<Key, int>> inside;
      for (auto& [p, d] : model_) {
        if (p.second < len && p.second > cover_len && trie::mask(k, p.second) == p.first) {
          cover_len = p.second;
          want_cover = d;
        }
        if (p.second > len && trie::mask(p.first, len) == k) inside.push_back(p);
      }
      ASSERT_EQ(covering == trie::kNone ? nullptr : t_.data(covering), want_cover);
      ASSERT_EQ(anchor == trie::kNone, model_.empty());
      // Pre-order of a canonical trie is the order of (key, length).
      std::sort(inside.begin(), inside.end());
      std::vector<std::pair<Key, int>> got;
      t_.for_each_within(anchor, k, len, [&](uint32_t n) {
        got.emplace_back(t_.prefix_key(n), t_.prefix_len(n));
        return true;
      });
      ASSERT_EQ(got, inside) << "len " << len;
    }
    // In-order: a longer prefix comes before its containing prefix when its next bit is 0.
    std::vector<std::pair<Key, int>> want(model_.size());
    std::transform(model_.begin(), model_.end(), want.begin(), [](auto& e) { return e.first; });
    std::sort(want.begin(), want.end(), [](auto a, auto b) {
      int lim = std::min(a.second, b.second);
      int d = trie::first_difference(a.first, b.first, lim);
      if (d < lim) return trie::bit_at(a.first, d) < trie::bit_at(b.first, d);
      if (a.second == b.second) return false;
      if (a.second < b.second) return trie::bit_at(b.first, a.second) == 1;
      return trie::bit_at(a.first, b.second) == 0;
    });
    std::vector<std::pair<Key, int>> got;
    size_t count =
        t_.walk([&](uint32_t n) { got.emplace_back(t_.prefix_key(n), t_.prefix_len(n)); });
    ASSERT_EQ(count, model_.size());
    ASSERT_EQ(got, want);
  }

  void drain() {
    size_t half = model_.size() / 2;
    while (!model_.empty()) {
      if (model_.size() == half) {
        check();  // with the jump table of the larger trie still in place
        if (::testing::Test::HasFatalFailure()) return;
      }
      auto it = model_.begin();
      std::advance(it, rng_() % model_.size());
      void* data = nullptr;
      ASSERT_EQ(t_.remove(it->first.first, it->first.second, &data), 0);
      ASSERT_EQ(data, it->second);
      model_.erase(it);
    }
    ASSERT_EQ(t_.node_count(), 0u);
    ASSERT_TRUE(t_.empty());
  }

 private:
  std::mt19937 rng_;
  int high_bits_;
  int insert_pct_;
  trie t_;
  std::map<std::pair<Key, int>, void*> model_;
  uintptr_t serial_ = 0;
};

template <typename Key>
void run_model(uint32_t seed, int high_bits = 12, int insert_pct = 70, int rounds = 30,
               int steps = 100) {
  TrieModel<Key> m(seed, high_bits, insert_pct);
  bool jumped = false;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < steps; ++i) {
      m.step();
      if (::testing::Test::HasFatalFailure()) return;
    }
    m.check();
    if (::testing::Test::HasFatalFailure()) return;
    jumped = jumped || m.t().jump_bits() > 0;
  }
  // Large runs must have used the jump table of the first levels.
  if (rounds * steps * insert_pct / 100 > 4000) {
    EXPECT_TRUE(jumped);
  }
  m.drain();
}

}  // namespace

TEST(PatriciaTest, Ipv4TrieAgreesWithAPlainPrefixMap) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    run_model<uint32_t>(seed);
  }
}

TEST(PatriciaTest, LargeTriesWithAJumpTableAgreeWithAPlainPrefixMap) {
  // Grows past the jump table thresholds, then shrinks back with removals (insert share 40%).
  TrieModel<uint32_t> m(11, 18, 95);
  for (int round = 0; round < 12; ++round) {
    for (int i = 0; i < 1000; ++i) m.step();
    if (round % 3 == 2) m.check();
    ASSERT_FALSE(HasFatalFailure());
  }
  EXPECT_GE(m.t().jump_bits(), 10);
  run_model<uint32_t>(12, 18, 40, 10, 1000);
  run_model<patricia_u128>(13, 16, 90, 6, 1000);
}

TEST(PatriciaTest, Ipv6TrieAgreesWithAPlainPrefixMap) {
  for (uint32_t seed : {4u, 5u}) {
    SCOPED_TRACE(seed);
    run_model<patricia_u128>(seed);
  }
}

TEST(PatriciaTest, ClearReleasesEveryDataOnceAndCountsTries) {
  int before = patricia_live_tries();
  static std::vector<void*> released;
  released.clear();
  {
    patricia<uint32_t> t;
    EXPECT_EQ(patricia_live_tries(), before + 1);
    int a = 1, b = 2;
    ASSERT_EQ(t.insert(0x0a000000, 8, &a), 0);
    ASSERT_EQ(t.insert(0x0a010000, 16, nullptr), 0);  // null data is not released
    ASSERT_EQ(t.insert(0x0b000000, 8, &b), 0);
    EXPECT_EQ(t.node_count(), 4u);  // three prefixes and one branching node
    t.clear([](void* d) { released.push_back(d); });
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.node_count(), 0u);
    EXPECT_EQ(t.memory_bytes(), 0u);
    std::sort(released.begin(), released.end());
    std::vector<void*> want{&a, &b};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(released, want);
    // Usable again after clearing.
    ASSERT_EQ(t.insert(0, 0, &a), 0);
    EXPECT_EQ(t.data(t.best_match(0xffffffff)), &a);
  }
  EXPECT_EQ(patricia_live_tries(), before);
}

TEST(PatriciaTest, MatchFilterFallsBackToShorterPrefixes) {
  patricia<uint32_t> t;
  int a = 1, b = 2, c = 3;
  ASSERT_EQ(t.insert(0x0a000000, 8, &a), 0);
  ASSERT_EQ(t.insert(0x0a010000, 16, &b), 0);
  ASSERT_EQ(t.insert(0x0a010203, 32, &c), 0);
  auto reject_b = [](void* d) { return *static_cast<int*>(d) != 2; };
  auto reject_all = [](void*) { return false; };
  EXPECT_EQ(t.data(t.best_match(0x0a010203, reject_b)), &c);
  EXPECT_EQ(t.data(t.best_match(0x0a010204, reject_b)), &a);
  EXPECT_EQ(t.data(t.best_match(0x0a010204)), &b);
  EXPECT_EQ(t.best_match(0x0a010203, reject_all), patricia<uint32_t>::kNone);
}
