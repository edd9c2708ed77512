#include "urllist/digest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "urllist/exploded_url.h"

namespace {

using bytes = std::basic_string<unsigned char>;

bytes b(std::initializer_list<int> v) {
  bytes r;
  for (int x : v) r.push_back(static_cast<unsigned char>(x));
  return r;
}

urllist_action_ref deny(int64_t expiry = -1) {
  return urllist_action_share(urllist_action_new(URLLIST_ACTION_DENY, nullptr, expiry));
}

urllist_exploded_url_ptr explode(const char* text) {
  return urllist_explode_charset(text, nullptr, 0, 0, nullptr);
}

}  // namespace

TEST(DigestKey, ParsesPairsAndRefusesBadText) {
  auto k = urllist_digest_parse_key("0aFf");
  ASSERT_TRUE(k);
  EXPECT_EQ(k->bytes(), b({0x0a, 0xff}));

  // An odd count ignores the last character, whatever it is.
  k = urllist_digest_parse_key("abc");
  ASSERT_TRUE(k);
  EXPECT_EQ(k->bytes(), b({0xab}));
  k = urllist_digest_parse_key("abz");
  ASSERT_TRUE(k);
  EXPECT_EQ(k->bytes(), b({0xab}));

  // One character would make an empty key; nothing, null and bad digits are refused.
  EXPECT_FALSE(urllist_digest_parse_key("a"));
  EXPECT_FALSE(urllist_digest_parse_key(""));
  EXPECT_FALSE(urllist_digest_parse_key(nullptr));
  EXPECT_FALSE(urllist_digest_parse_key("0g"));
  EXPECT_FALSE(urllist_digest_parse_key("00 1"));
  EXPECT_FALSE(urllist_digest_parse_key("aaf8453003ba95871d23225281449fff12d2bafx"));

  // The key stops at 254 bytes; the characters after are not looked at.
  std::string long_text(600, 'f');
  long_text[560] = 'x';
  k = urllist_digest_parse_key(long_text.c_str());
  ASSERT_TRUE(k);
  EXPECT_EQ(k->size(), 254u);
  EXPECT_EQ(k->bytes(), bytes(254, 0xff));
  long_text[507] = 'x';
  EXPECT_FALSE(urllist_digest_parse_key(long_text.c_str()));
}

TEST(DigestKey, CopiesMovesAndSerialisesShortAndLongKeys) {
  for (size_t n : {1u, 20u, 22u, 23u, 254u}) {
    bytes raw;
    for (size_t i = 0; i < n; i++) raw.push_back(static_cast<unsigned char>(i * 7 + 1));
    urllist_digest_key k(raw);
    urllist_digest_key copy(k);
    urllist_digest_key moved(std::move(copy));
    urllist_digest_key assigned;
    assigned = moved;
    EXPECT_EQ(k.bytes(), raw) << n;
    EXPECT_EQ(moved.bytes(), raw) << n;
    EXPECT_EQ(assigned.bytes(), raw) << n;
    bytes ser = assigned.serialised();
    ASSERT_EQ(ser.size(), n + 1);
    EXPECT_EQ(ser[0], n);
    EXPECT_EQ(ser.substr(1), raw);
  }
}

TEST(DigestOrder, ShorterFirstThenUnsignedBytes) {
  // Lengths decide before bytes.
  EXPECT_LT(urllist_cmp_digest(b({0xff}), b({0x00, 0x00})), 0);
  EXPECT_GT(urllist_cmp_digest(b({0x00, 0x00}), b({0xff})), 0);
  // Bytes compare as unsigned values.
  EXPECT_LT(urllist_cmp_digest(b({0x7f}), b({0x80})), 0);
  EXPECT_GT(urllist_cmp_digest(b({1, 0x80}), b({1, 0x7f})), 0);
  EXPECT_EQ(urllist_cmp_digest(b({1, 2, 3}), b({1, 2, 3})), 0);
  // The serialised form: a length byte of 200 is larger than one of 100.
  bytes long1(201, 0), long2(101, 0xff);
  long1[0] = 200;
  long2[0] = 100;
  EXPECT_GT(urllist_cmp_digest(long1.data(), long2.data()), 0);
  EXPECT_LT(urllist_cmp_digest(long2.data(), long1.data()), 0);
  bytes s1 = b({2, 0x10, 0x90}), s2 = b({2, 0x10, 0x20});
  EXPECT_GT(urllist_cmp_digest(s1.data(), s2.data()), 0);
  EXPECT_EQ(urllist_cmp_digest(s1.data(), s1.data()), 0);

  urllist_digest_store store;
  for (const char* t : {"ffff", "00", "80", "7f", "0000", "ff"}) {
    store.insert(*urllist_digest_parse_key(t), deny());
  }
  std::vector<std::string> order;
  store.for_each([&](const urllist_digest_key& k, urllist_action*) {
    order.push_back(urllist_digest_to_hex(k.bytes()));
  });
  EXPECT_EQ(order, (std::vector<std::string>{"00", "7f", "80", "ff", "0000", "ffff"}));
}

TEST(DigestStore, AddCreatesTheStoreAndTheLastEntryWins) {
  std::unique_ptr<urllist_digest_store> store;
  urllist_action_ref first = deny();
  urllist_action_ref second = deny();
  EXPECT_EQ(urllist_add_digest(store, "zz", first), -3);
  EXPECT_EQ(store, nullptr);  // a refused first entry makes no store
  EXPECT_EQ(urllist_add_digest(store, "A", first), -3);

  const char* hex = "aaf8453003ba95871d23225281449fff12d2bafb";
  ASSERT_EQ(urllist_add_digest(store, hex, first), 0);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(first->refcount, 2);
  // Same key in upper case: replaces, and the earlier action loses the store's reference.
  ASSERT_EQ(urllist_add_digest(store, "AAF8453003BA95871D23225281449FFF12D2BAFB", second), 0);
  EXPECT_EQ(store->size(), 1u);
  EXPECT_EQ(first->refcount, 1);
  EXPECT_EQ(second->refcount, 2);
  EXPECT_EQ(store->find(urllist_digest_parse_key(hex)->bytes()), second.get());
  // A longer text with the same first 20 bytes is another key.
  ASSERT_EQ(urllist_add_digest(store, (std::string(hex) + "00").c_str(), first), 0);
  EXPECT_EQ(store->size(), 2u);
  store.reset();
  EXPECT_EQ(first->refcount, 1);
  EXPECT_EQ(second->refcount, 1);
}

TEST(DigestOfUrl, LowercasesSchemeAndAuthorityOnly) {
  struct row {
    const char* url;
    const char* sha1;
  } rows[] = {
      {"http://h.test/Path", "aaf8453003ba95871d23225281449fff12d2bafb"},
      {"HTTP://H.Test/Path", "aaf8453003ba95871d23225281449fff12d2bafb"},
      {"http://h.test/path", "78886b5a0b4f23ef10406d2901bb08a09cd4c5da"},
      {"H.TEST/Path", "751620aa4b8dc59cadd1cbd9deeea9a58ef602a4"},
      {"http://User@H.test:8080/A/B?Q=1#F", "5a7695579a517aff399f2cf7506efa7fe6aabe0b"},
      {"HTTP://H.TEST?A=B", "8896cbf62f226ce147b2717768b1adfd0c6ce421"},
  };
  for (const row& r : rows) {
    auto url = explode(r.url);
    ASSERT_NE(url, nullptr) << r.url;
    const unsigned char* d = urllist_digest_compute(url.get());
    ASSERT_NE(d, nullptr) << r.url;
    EXPECT_EQ(urllist_digest_to_hex({d, 20}), r.sha1) << r.url;
    ASSERT_TRUE(url->digest);
    EXPECT_EQ((*url->digest)[0], 20);
    // Cached: the second call hands out the same bytes.
    EXPECT_EQ(urllist_digest_compute(url.get()), d);
  }

  // A host longer than the lowercasing buffer.
  std::string long_url = "http://" + std::string(600, 'A') + ".test/X";
  auto url = explode(long_url.c_str());
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(urllist_digest_to_hex({urllist_digest_compute(url.get()), 20}),
            "74836192f70e16df3d1092b138afadd9726a22d1");

  // A bare record (authority length 0): the plain SHA-1 of the text ("abc" is the classic
  // test vector).
  auto bare = urllist_new_urllist_exploded_url("abc");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(urllist_digest_to_hex({urllist_digest_compute(bare.get()), 20}),
            "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(urllist_digest_compute(nullptr), nullptr);
}

TEST(DigestLookup, MatchesEqualDigestsAndGivesTheHexText) {
  std::unique_ptr<urllist_digest_store> store;
  urllist_action_ref action = deny();

  // Without a store nothing is computed.
  auto url = explode("http://H.TEST/Path");
  std::string hex = "unchanged";
  EXPECT_EQ(urllist_digest_lookup(store.get(), url.get(), &hex), nullptr);
  EXPECT_FALSE(url->digest);
  EXPECT_EQ(hex, "unchanged");

  ASSERT_EQ(urllist_add_digest(store, "AAF8453003BA95871D23225281449FFF12D2BAFB", action), 0);
  EXPECT_EQ(urllist_digest_lookup(store.get(), url.get(), &hex), action.get());
  EXPECT_EQ(hex, "aaf8453003ba95871d23225281449fff12d2bafb");
  EXPECT_EQ(urllist_digest_lookup(store.get(), url.get(), nullptr), action.get());

  // The path keeps its case: another digest, no match, and the text is left alone.
  auto other = explode("http://h.test/path");
  hex = "unchanged";
  EXPECT_EQ(urllist_digest_lookup(store.get(), other.get(), &hex), nullptr);
  EXPECT_EQ(hex, "unchanged");
  EXPECT_TRUE(other->digest);

  // A 41-character entry ignores its last character and still matches.
  std::unique_ptr<urllist_digest_store> odd;
  ASSERT_EQ(urllist_add_digest(odd, "78886b5a0b4f23ef10406d2901bb08a09cd4c5daQ", action), 0);
  EXPECT_EQ(urllist_digest_lookup(odd.get(), other.get(), nullptr), action.get());
  // A key of another length never equals a URL's 20-byte digest.
  std::unique_ptr<urllist_digest_store> shorter;
  ASSERT_EQ(urllist_add_digest(shorter, "78886b5a0b4f23ef10406d2901bb08a09cd4c5", action), 0);
  EXPECT_EQ(urllist_digest_lookup(shorter.get(), other.get(), nullptr), nullptr);
  EXPECT_EQ(urllist_digest_lookup(shorter.get(), nullptr, nullptr), nullptr);
}

TEST(DigestStore, FindsEveryKeyAcrossIndexGrowth) {
  // Keys of several lengths, among them keys that differ only in length or in the last
  // byte, so that equal hashes and neighbouring slots are told apart by the full key.
  urllist_digest_store store;
  std::vector<urllist_action_ref> actions;
  std::vector<bytes> keys;
  uint64_t x = 12345;
  for (int i = 0; i < 5000; i++) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    const size_t len = 1 + (x >> 60);  // 1 to 16 bytes
    bytes k;
    for (size_t j = 0; j < len; j++) k.push_back(static_cast<unsigned char>(x >> (8 * (j % 8))));
    keys.push_back(k);
    actions.push_back(deny());
    store.insert(urllist_digest_key(k), actions.back());
  }
  // Later equal keys replaced earlier ones: the last action given for a key is found.
  std::map<bytes, urllist_action*> expected;
  for (size_t i = 0; i < keys.size(); i++) expected[keys[i]] = actions[i].get();
  EXPECT_EQ(store.size(), expected.size());
  for (const auto& [k, a] : expected) {
    EXPECT_EQ(store.find(k), a);
    bytes longer = k;
    longer.push_back(0);
    if (!expected.count(longer)) {
      EXPECT_EQ(store.find(longer), nullptr);
    }
    bytes changed = k;
    changed.back() ^= 0x80;
    if (!expected.count(changed)) {
      EXPECT_EQ(store.find(changed), nullptr);
    }
  }
  EXPECT_EQ(store.find(bytes()), nullptr);
  urllist_digest_store empty;
  EXPECT_EQ(empty.find(b({1})), nullptr);
}
