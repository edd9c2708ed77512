#pragma once
// CityHash64 of the 1.0 series: the 64-bit hash every URL part is keyed by.
//
// This is the published algorithm in its 1.0 form (the 0-to-16-byte case mixes with the
// constant k3 and rotates the last eight bytes by the length). Stored hashed lists depend on
// the exact values, so any change here breaks them; tests/data/cityhash64.tsv pins every
// length class (0, 1-3, 4-8, 9-16, 17-32, 33-64 and over 64 bytes).
//
// Pure function of its input; safe to call from any number of threads at once. Reads the
// input with unaligned little-endian loads (the byte order of the stored hashes).

#include <cstddef>
#include <cstdint>
#include <string_view>

// Returns CityHash64 of the `len` bytes at `data`. `data` may be null only when `len` is 0.
uint64_t cityhash64(const char* data, size_t len);

inline uint64_t cityhash64(std::string_view text) { return cityhash64(text.data(), text.size()); }
