#include "stores/byte_trie.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<uint32_t, size_t>> matches(const byte_trie& t, std::string_view text) {
  std::vector<std::pair<uint32_t, size_t>> out;
  t.fetch_matches(text, [&](uint32_t v, size_t len) {
    out.emplace_back(v, len);
    return true;
  });
  return out;
}

using m = std::vector<std::pair<uint32_t, size_t>>;

TEST(ByteTrie, FindAndInsert) {
  byte_trie t;
  EXPECT_EQ(t.find(""), byte_trie::npos);
  EXPECT_EQ(t.find("abc"), byte_trie::npos);
  EXPECT_EQ(t.insert("abc", 1), 1u);
  EXPECT_EQ(t.insert("abc", 2), 1u);  // present: the earlier value stays
  EXPECT_EQ(t.insert("ab", 3), 3u);
  EXPECT_EQ(t.size(), 2u);
  EXPECT_EQ(t.find("abc"), 1u);
  EXPECT_EQ(t.find("ab"), 3u);
  EXPECT_EQ(t.find("a"), byte_trie::npos);  // a node on the way is not a key
  EXPECT_EQ(t.find("abcd"), byte_trie::npos);
  EXPECT_EQ(t.insert("", 4), 4u);
  EXPECT_EQ(t.find(""), 4u);
  // Any byte may be part of a key, NUL and bytes above 127 included.
  const std::string odd("\0\xff\x80", 3);
  EXPECT_EQ(t.insert(odd, 5), 5u);
  EXPECT_EQ(t.find(odd), 5u);
  EXPECT_EQ(t.find(std::string_view("\0\xff", 2)), byte_trie::npos);
}

TEST(ByteTrie, AllPrefixesLongestFirst) {
  byte_trie t;
  t.insert("poker", 1);
  t.insert("pokerstars", 2);
  t.insert("p", 3);
  t.insert("pokex", 4);
  EXPECT_EQ(matches(t, "pokerstarsx"), (m{{2, 10}, {1, 5}, {3, 1}}));
  EXPECT_EQ(matches(t, "pokers"), (m{{1, 5}, {3, 1}}));
  EXPECT_EQ(matches(t, "pok"), (m{{3, 1}}));
  EXPECT_EQ(matches(t, "x"), m{});
  EXPECT_EQ(matches(t, ""), m{});
  t.insert("", 9);
  EXPECT_EQ(matches(t, "po"), (m{{3, 1}, {9, 0}}));
  EXPECT_EQ(matches(t, "q"), (m{{9, 0}}));

  // Stopping early: only the longest is seen, and the walk reports the stop.
  int calls = 0;
  EXPECT_FALSE(t.fetch_matches("pokerstars", [&](uint32_t, size_t) {
    calls++;
    return false;
  }));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(t.fetch_matches("zz", [&](uint32_t, size_t) { return true; }));
}

TEST(ByteTrie, ManyChildrenPerNode) {
  // Every byte value below one node, which moves its children to a full table, and keys
  // below each of them; all of them must stay reachable across the move.
  byte_trie t;
  for (int b = 255; b >= 0; b--) {
    std::string k = "x";
    k.push_back(static_cast<char>(b));
    t.insert(k, static_cast<uint32_t>(b));
    k.push_back('y');
    t.insert(k, static_cast<uint32_t>(1000 + b));
  }
  EXPECT_EQ(t.size(), 512u);
  for (int b = 0; b < 256; b++) {
    std::string k = "x";
    k.push_back(static_cast<char>(b));
    EXPECT_EQ(t.find(k), static_cast<uint32_t>(b));
    k += "yz";
    EXPECT_EQ(matches(t, k),
              (m{{static_cast<uint32_t>(1000 + b), 3}, {static_cast<uint32_t>(b), 2}}));
  }
}

}  // namespace
