#include "urllist/cityhash.h"

#include <bit>
#include <cstring>
#include <utility>

// CityHash64, 1.0 series. The structure follows the published reference: separate mixers for
// 0-16, 17-32, 33-64 bytes and a 64-byte block loop for longer inputs. Every load is a
// little-endian read (memcpy keeps unaligned loads defined; x86-64 is little-endian, which
// static_assert below pins, since the stored hashes depend on it).

static_assert(std::endian::native == std::endian::little,
              "stored part hashes assume little-endian loads");

namespace {

constexpr uint64_t k0 = 0xc3a5c85c97cb3127ULL;
constexpr uint64_t k1 = 0xb492b66fbe98f273ULL;
constexpr uint64_t k2 = 0x9ae16a3b2f90404fULL;
constexpr uint64_t k3 = 0xc949d7c7509e6557ULL;
constexpr uint64_t kMul = 0x9ddfea08eb382d69ULL;

inline uint64_t fetch64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t fetch32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Rotate right; a shift of 0 must return the value unchanged (a shift by 64 is undefined).
inline uint64_t rotate(uint64_t val, int shift) {
  return shift == 0 ? val : ((val >> shift) | (val << (64 - shift)));
}

// REQUIRES: 0 < shift < 64.
inline uint64_t rotate_by_at_least_1(uint64_t val, int shift) {
  return (val >> shift) | (val << (64 - shift));
}

inline uint64_t shift_mix(uint64_t val) { return val ^ (val >> 47); }

// Murmur-inspired mix of a 128-bit value (low, high) down to 64 bits.
inline uint64_t hash_len16(uint64_t low, uint64_t high) {
  uint64_t a = (low ^ high) * kMul;
  a ^= (a >> 47);
  uint64_t b = (high ^ a) * kMul;
  b ^= (b >> 47);
  b *= kMul;
  return b;
}

uint64_t hash_len0to16(const char* s, size_t len) {
  if (len > 8) {
    uint64_t a = fetch64(s);
    uint64_t b = fetch64(s + len - 8);
    return hash_len16(a, rotate_by_at_least_1(b + len, static_cast<int>(len))) ^ b;
  }
  if (len >= 4) {
    uint64_t a = fetch32(s);
    return hash_len16(len + (a << 3), fetch32(s + len - 4));
  }
  if (len > 0) {
    uint8_t a = static_cast<uint8_t>(s[0]);
    uint8_t b = static_cast<uint8_t>(s[len >> 1]);
    uint8_t c = static_cast<uint8_t>(s[len - 1]);
    uint32_t y = static_cast<uint32_t>(a) + (static_cast<uint32_t>(b) << 8);
    uint32_t z = static_cast<uint32_t>(len) + (static_cast<uint32_t>(c) << 2);
    return shift_mix(y * k2 ^ z * k3) * k2;
  }
  return k2;
}

uint64_t hash_len17to32(const char* s, size_t len) {
  uint64_t a = fetch64(s) * k1;
  uint64_t b = fetch64(s + 8);
  uint64_t c = fetch64(s + len - 8) * k2;
  uint64_t d = fetch64(s + len - 16) * k0;
  return hash_len16(rotate(a - b, 43) + rotate(c, 30) + d, a + rotate(b ^ k3, 20) - c + len);
}

// Hash of 32 bytes (w, x, y, z) with the seeds a and b; weak on its own, fine inside the
// block loop.
inline std::pair<uint64_t, uint64_t> weak_hash_len32_with_seeds(uint64_t w, uint64_t x, uint64_t y,
                                                                uint64_t z, uint64_t a,
                                                                uint64_t b) {
  a += w;
  b = rotate(b + a + z, 21);
  uint64_t c = a;
  a += x;
  a += y;
  b += rotate(a, 44);
  return {a + z, b + c};
}

inline std::pair<uint64_t, uint64_t> weak_hash_len32_with_seeds(const char* s, uint64_t a,
                                                                uint64_t b) {
  return weak_hash_len32_with_seeds(fetch64(s), fetch64(s + 8), fetch64(s + 16), fetch64(s + 24), a,
                                    b);
}

uint64_t hash_len33to64(const char* s, size_t len) {
  uint64_t z = fetch64(s + 24);
  uint64_t a = fetch64(s) + (len + fetch64(s + len - 16)) * k0;
  uint64_t b = rotate(a + z, 52);
  uint64_t c = rotate(a, 37);
  a += fetch64(s + 8);
  c += rotate(a, 7);
  a += fetch64(s + 16);
  uint64_t vf = a + z;
  uint64_t vs = b + rotate(a, 31) + c;
  a = fetch64(s + 16) + fetch64(s + len - 32);
  z = fetch64(s + len - 8);
  b = rotate(a + z, 52);
  c = rotate(a, 37);
  a += fetch64(s + len - 24);
  c += rotate(a, 7);
  a += fetch64(s + len - 16);
  uint64_t wf = a + z;
  uint64_t ws = b + rotate(a, 31) + c;
  uint64_t r = shift_mix((vf + ws) * k2 + (wf + vs) * k0);
  return shift_mix(r * k0 + vs) * k2;
}

}  // namespace

uint64_t cityhash64(const char* s, size_t len) {
  if (len <= 32) {
    return len <= 16 ? hash_len0to16(s, len) : hash_len17to32(s, len);
  }
  if (len <= 64) return hash_len33to64(s, len);

  // Longer inputs: hash the end first, then keep 56 bytes of state (v, w, x, y, z) while
  // mixing 64-byte blocks; the last 64 bytes seed the state, so the tail needs no special case.
  uint64_t x = fetch64(s);
  uint64_t y = fetch64(s + len - 16) ^ k1;
  uint64_t z = fetch64(s + len - 56) ^ k0;
  std::pair<uint64_t, uint64_t> v = weak_hash_len32_with_seeds(s + len - 64, len, y);
  std::pair<uint64_t, uint64_t> w = weak_hash_len32_with_seeds(s + len - 32, len * k1, k0);
  z += shift_mix(v.second) * k1;
  x = rotate(z + x, 39) * k1;
  y = rotate(y, 33) * k1;

  len = (len - 1) & ~static_cast<size_t>(63);
  do {
    x = rotate(x + y + v.first + fetch64(s + 16), 37) * k1;
    y = rotate(y + v.second + fetch64(s + 48), 42) * k1;
    x ^= w.second;
    y ^= v.first;
    z = rotate(z ^ w.first, 33);
    v = weak_hash_len32_with_seeds(s, v.second * k1, x + w.first);
    w = weak_hash_len32_with_seeds(s + 32, z + w.second, y);
    std::swap(z, x);
    s += 64;
    len -= 64;
  } while (len != 0);
  return hash_len16(hash_len16(v.first, w.first) + shift_mix(y) * k1 + z,
                    hash_len16(v.second, w.second) + x);
}
