#pragma once
// Digest entries: whole URLs matched by the SHA-1 of their normalised text.
//
// A digest entry (type word "D") carries the hexadecimal digest of a URL instead of the URL.
// Its key is one length byte (1 to 254) followed by that many bytes. The URL list keeps one
// digest store, an ordered map from key to the entry's action, created with the first digest
// entry. A looked-up URL matches when the SHA-1 of its text, with the scheme and authority
// lowercased, equals a stored key; the URL's key is computed once and cached in its exploded
// URL (urllist_exploded_url::digest).
//
// How the list store uses this module:
//   adding a "D" line:   rc = urllist_add_digest(list->digests, text, action);
//                        (0 stored, -2 memory, -3 bad digest text; count the entry on 0)
//   lookup step 4:       a = urllist_digest_lookup(list->digests.get(), url, diag ? &t : 0);
//                        an action for which urllist_action_expired() holds counts as absent
//   urllist_terminate:   list->digests.reset() releases every key and drops every action.
//
// Thread safety. The store is changed only while lists load, under the list's write lock;
// urllist_digest_store::find and urllist_digest_lookup only read it and may run on several
// threads at once (each thread with its own exploded URL: the lookup writes the URL's cache).
// The SHA-1 context is per thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/action.h"

struct urllist_exploded_url;

// A digest key: `size()` bytes (1 to 254) of digest. Keys of up to 22 bytes (SHA-1 keys are
// 20) live inside the 32-byte record; longer ones on the heap. The serialised form is the
// length byte followed by the bytes (urllist_digest_key::serialised).
class urllist_digest_key {
 public:
  static constexpr size_t max_size = 254;
  static constexpr size_t inline_size = 22;

  urllist_digest_key() = default;
  // REQUIRES: 1 <= bytes.size() <= max_size.
  explicit urllist_digest_key(std::basic_string_view<unsigned char> bytes);
  urllist_digest_key(const urllist_digest_key& o);
  urllist_digest_key(urllist_digest_key&& o) noexcept;
  urllist_digest_key& operator=(urllist_digest_key o) noexcept;
  ~urllist_digest_key();

  size_t size() const { return size_; }
  const unsigned char* data() const { return size_ <= inline_size ? small_ : big_; }
  std::basic_string_view<unsigned char> bytes() const { return {data(), size_}; }
  // The length byte followed by the bytes.
  std::basic_string<unsigned char> serialised() const;

  void swap(urllist_digest_key& o) noexcept;

 private:
  union {
    unsigned char small_[inline_size];
    unsigned char* big_;  // owned, size_ bytes, when size_ > inline_size
  };
  uint8_t size_ = 0;
};

// Orders two serialised keys (length byte, then bytes): the shorter key first (lengths as
// unsigned bytes), then byte by byte as unsigned values; the first difference decides.
// Returns a negative, zero or positive number. REQUIRES: a and b point at serialised keys.
int urllist_cmp_digest(const void* a, const void* b);
// The same order over keys held in urllist_digest_key records.
int urllist_cmp_digest(const urllist_digest_key& a, const urllist_digest_key& b);
int urllist_cmp_digest(std::basic_string_view<unsigned char> a,
                       std::basic_string_view<unsigned char> b);

struct urllist_digest_key_less {
  using is_transparent = void;
  bool operator()(const urllist_digest_key& a, const urllist_digest_key& b) const {
    return urllist_cmp_digest(a, b) < 0;
  }
  bool operator()(std::basic_string_view<unsigned char> a, const urllist_digest_key& b) const {
    return urllist_cmp_digest(a, b.bytes()) < 0;
  }
  bool operator()(const urllist_digest_key& a, std::basic_string_view<unsigned char> b) const {
    return urllist_cmp_digest(a.bytes(), b) < 0;
  }
};

// Parses the text of a digest entry: the key length is floor(n / 2) for a text of n
// characters, at most 254, and the pairs of hexadecimal digits (either case, high nibble
// first) up to that length are converted; characters after them are ignored. Nullopt when
// the key would be empty (a text of 0 or 1 character, or null) or a character in the parsed
// range is not a hexadecimal digit.
std::optional<urllist_digest_key> urllist_digest_parse_key(const char* text);

// The digest store of a URL list: ordered by urllist_cmp_digest, one action per key. Each
// key holds one counted reference to its action; destroying the store drops them.
//
// The keys live in an ordered tree. Beside it sits an open-addressing index from a 64-bit
// hash of the key to the tree entry: a lookup among a million keys then costs one or two
// cache misses instead of a descent of some twenty tree levels. 112 to 144 bytes per key: an
// 80-byte tree node (a key of up to 22 bytes inline) and a 16-byte index slot at a load
// factor between 1/4 and 1/2.
class urllist_digest_store {
 public:
  using map_type = std::map<urllist_digest_key, urllist_action_ref, urllist_digest_key_less>;

  urllist_digest_store() = default;
  urllist_digest_store(const urllist_digest_store&) = delete;
  urllist_digest_store& operator=(const urllist_digest_store&) = delete;

  // Stores `action` under `key`; an equal key already stored is replaced: its earlier
  // action reference is dropped (the last entry wins). Throws std::bad_alloc (the store is
  // then unchanged). REQUIRES: action non-null, key non-empty.
  void insert(urllist_digest_key key, urllist_action_ref action);

  // The action stored under `key` (given without its length byte), or null. The pointer
  // stays valid until the store is next changed or destroyed. Allocates nothing.
  urllist_action* find(std::basic_string_view<unsigned char> key) const;

  size_t size() const { return map_.size(); }

  // Visits the entries in key order (diagnostics and tests).
  template <typename F>
  void for_each(F&& f) const {
    for (const auto& [k, v] : map_) f(k, v.get());
  }

 private:
  struct slot {
    uint64_t hash;
    const map_type::value_type* entry;  // null: empty slot
  };
  static uint64_t hash_of(std::basic_string_view<unsigned char> key);
  // Makes room for one more key (keeps the load factor at most 1/2). May throw.
  void reserve_one();
  void place(uint64_t hash, const map_type::value_type* entry);

  map_type map_;
  std::vector<slot> index_;  // size a power of two, or 0
};

// Adds a digest entry to the list's store `slot`, creating the store on first use.
// Returns 0 when stored (an equal key's earlier action is dropped), -3 when `text` is no
// valid digest text (urllist_digest_parse_key), -2 when memory runs out (nothing stored,
// `slot` unchanged or an empty new store). `action` may be shared with no one else yet: the
// store takes its own reference. REQUIRES: action non-null.
int urllist_add_digest(std::unique_ptr<urllist_digest_store>& slot, const char* text,
                       const urllist_action_ref& action);

// The key of the URL, computed on first use and cached in url->digest: SHA-1 over the first
// authority_len bytes of `source` with A-Z lowercased, followed by the rest of `source`
// unchanged. Returns the 20 digest bytes (the cache also holds the length byte first), valid
// as long as the URL; null when the URL has no source or the digest cannot be computed.
const unsigned char* urllist_digest_compute(urllist_exploded_url* url);

// Looks the URL's digest up in `store`. Returns the stored action or null; a null store
// returns null without computing the digest. When an action is found and `hex_out` is given,
// *hex_out becomes the digest in lowercase hexadecimal (two digits per byte, 40 characters);
// when memory runs out there, std::bad_alloc is thrown.
// The action pointer stays valid until the store is next changed.
urllist_action* urllist_digest_lookup(const urllist_digest_store* store, urllist_exploded_url* url,
                                      std::string* hex_out);

// Lowercase hexadecimal text of `bytes`, two digits per byte.
std::string urllist_digest_to_hex(std::basic_string_view<unsigned char> bytes);
