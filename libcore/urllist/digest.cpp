#include "urllist/digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "urllist/cityhash.h"
#include "urllist/exploded_url.h"
#include "util/string.h"

// ---- Keys ---------------------------------------------------------------------------------

urllist_digest_key::urllist_digest_key(std::basic_string_view<unsigned char> bytes)
    : size_(static_cast<uint8_t>(bytes.size())) {
  if (size_ <= inline_size) {
    std::memcpy(small_, bytes.data(), size_);
  } else {
    // Raw owned block: a key of up to 254 bytes, released in the destructor; a union member
    // cannot be a unique_ptr without hand-written lifetime management anyway.
    big_ = new unsigned char[size_];
    std::memcpy(big_, bytes.data(), size_);
  }
}

urllist_digest_key::urllist_digest_key(const urllist_digest_key& o)
    : urllist_digest_key(o.bytes()) {}

urllist_digest_key::urllist_digest_key(urllist_digest_key&& o) noexcept : size_(o.size_) {
  std::memcpy(small_, o.small_, inline_size);  // also carries big_ when it is the member
  o.size_ = 0;
}

urllist_digest_key& urllist_digest_key::operator=(urllist_digest_key o) noexcept {
  swap(o);
  return *this;
}

urllist_digest_key::~urllist_digest_key() {
  if (size_ > inline_size) delete[] big_;
}

void urllist_digest_key::swap(urllist_digest_key& o) noexcept {
  unsigned char tmp[inline_size];
  std::memcpy(tmp, small_, inline_size);
  std::memcpy(small_, o.small_, inline_size);
  std::memcpy(o.small_, tmp, inline_size);
  std::swap(size_, o.size_);
}

std::basic_string<unsigned char> urllist_digest_key::serialised() const {
  std::basic_string<unsigned char> s;
  s.reserve(size_ + 1);
  s.push_back(size_);
  s.append(data(), size_);
  return s;
}

int urllist_cmp_digest(std::basic_string_view<unsigned char> a,
                       std::basic_string_view<unsigned char> b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  if (a.empty()) return 0;
  return std::memcmp(a.data(), b.data(), a.size());
}

int urllist_cmp_digest(const urllist_digest_key& a, const urllist_digest_key& b) {
  return urllist_cmp_digest(a.bytes(), b.bytes());
}

int urllist_cmp_digest(const void* a, const void* b) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  return urllist_cmp_digest(std::basic_string_view<unsigned char>(x + 1, x[0]),
                            std::basic_string_view<unsigned char>(y + 1, y[0]));
}

std::optional<urllist_digest_key> urllist_digest_parse_key(const char* text) {
  if (text == nullptr) return std::nullopt;
  const size_t n = std::strlen(text);
  const size_t key_len = std::min(n / 2, urllist_digest_key::max_size);
  // A single digit would make a key of length 0, which no URL digest can equal and which
  // string_hex_to_bin refuses anyway: such an entry is invalid.
  if (key_len == 0) return std::nullopt;
  unsigned char buf[urllist_digest_key::max_size];
  if (string_hex_to_bin(text, buf, static_cast<int>(key_len)) != 0) return std::nullopt;
  return urllist_digest_key({buf, key_len});
}

std::string urllist_digest_to_hex(std::basic_string_view<unsigned char> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); i++) {
    s[2 * i] = digits[bytes[i] >> 4];
    s[2 * i + 1] = digits[bytes[i] & 15];
  }
  return s;
}

// ---- Store --------------------------------------------------------------------------------

uint64_t urllist_digest_store::hash_of(std::basic_string_view<unsigned char> key) {
  return cityhash64(reinterpret_cast<const char*>(key.data()), key.size());
}

void urllist_digest_store::place(uint64_t hash, const map_type::value_type* entry) {
  const size_t mask = index_.size() - 1;
  size_t i = hash & mask;
  while (index_[i].entry != nullptr) i = (i + 1) & mask;
  index_[i] = slot{hash, entry};
}

void urllist_digest_store::reserve_one() {
  if ((map_.size() + 1) * 2 <= index_.size()) return;
  std::vector<slot> old(index_.empty() ? 16 : index_.size() * 2, slot{0, nullptr});
  old.swap(index_);
  for (const slot& s : old) {
    if (s.entry != nullptr) place(s.hash, s.entry);
  }
}

void urllist_digest_store::insert(urllist_digest_key key, urllist_action_ref action) {
  auto it = map_.lower_bound(key);
  if (it != map_.end() && urllist_cmp_digest(it->first, key) == 0) {
    it->second = std::move(action);  // drops the earlier entry's reference
    return;
  }
  // Grow the index first: if the tree insertion then throws, the index holds nothing new.
  reserve_one();
  const uint64_t h = hash_of(key.bytes());
  it = map_.emplace_hint(it, std::move(key), std::move(action));
  place(h, &*it);
}

urllist_action* urllist_digest_store::find(std::basic_string_view<unsigned char> key) const {
  if (index_.empty()) return nullptr;
  const uint64_t h = hash_of(key);
  const size_t mask = index_.size() - 1;
  for (size_t i = h & mask; index_[i].entry != nullptr; i = (i + 1) & mask) {
    if (index_[i].hash == h && urllist_cmp_digest(index_[i].entry->first.bytes(), key) == 0) {
      return index_[i].entry->second.get();
    }
  }
  return nullptr;
}

int urllist_add_digest(std::unique_ptr<urllist_digest_store>& slot, const char* text,
                       const urllist_action_ref& action) {
  std::optional<urllist_digest_key> key = urllist_digest_parse_key(text);
  if (!key) return -3;
  try {
    if (!slot) slot = std::make_unique<urllist_digest_store>();
    slot->insert(std::move(*key), action);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  return 0;
}

// ---- Digest of a URL ----------------------------------------------------------------------

namespace {

struct md_ctx_free {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct md_free {
  void operator()(EVP_MD* m) const { EVP_MD_free(m); }
};

// The SHA-1 method, fetched once: handing EVP_sha1() to every init would make OpenSSL 3
// look the implementation up in its provider tables on each call.
const EVP_MD* sha1_method() {
  static const std::unique_ptr<EVP_MD, md_free> md(EVP_MD_fetch(nullptr, "SHA1", nullptr));
  return md ? md.get() : EVP_sha1();
}

// One context per thread, reinitialised for every digest, so that a lookup does not
// allocate one.
EVP_MD_CTX* thread_context() {
  thread_local std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx;
  if (!ctx) ctx.reset(EVP_MD_CTX_new());  // a failure is tried again on the next digest
  return ctx.get();
}

bool sha1_url(const char* source, size_t source_len, size_t authority_len, unsigned char* out) {
  EVP_MD_CTX* ctx = thread_context();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, sha1_method(), nullptr) != 1) return false;
  // The lowercased scheme and authority go through a small buffer in pieces: the digest is
  // the same as over one lowercased copy, without allocating.
  unsigned char buf[256];
  for (size_t done = 0; done < authority_len;) {
    const size_t n = std::min(sizeof buf, authority_len - done);
    for (size_t i = 0; i < n; i++) {
      const unsigned char c = static_cast<unsigned char>(source[done + i]);
      buf[i] = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
    }
    if (EVP_DigestUpdate(ctx, buf, n) != 1) return false;
    done += n;
  }
  if (EVP_DigestUpdate(ctx, source + authority_len, source_len - authority_len) != 1) {
    return false;
  }
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx, out, &len) != 1 || len != 20) return false;
  return true;
}

}  // namespace

const unsigned char* urllist_digest_compute(urllist_exploded_url* url) {
  if (url == nullptr || url->source == nullptr) return nullptr;
  if (!url->digest) {
    std::array<unsigned char, 21> key{};
    const size_t len = url->source_len;
    // authority_len never exceeds the text; the bound keeps a record made by hand safe.
    const size_t auth = std::min<size_t>(url->authority_len, len);
    if (!sha1_url(url->source, len, auth, key.data() + 1)) return nullptr;
    key[0] = 20;
    url->digest = key;
  }
  return url->digest->data() + 1;
}

urllist_action* urllist_digest_lookup(const urllist_digest_store* store, urllist_exploded_url* url,
                                      std::string* hex_out) {
  if (store == nullptr || url == nullptr) return nullptr;
  const unsigned char* d = urllist_digest_compute(url);
  if (d == nullptr) return nullptr;
  const std::basic_string_view<unsigned char> key(d, (*url->digest)[0]);
  urllist_action* action = store->find(key);
  if (action != nullptr && hex_out != nullptr) *hex_out = urllist_digest_to_hex(key);
  return action;
}
