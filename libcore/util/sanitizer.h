#pragma once
// Whether this build runs under AddressSanitizer (GCC or clang). Code that trades memory
// hygiene for speed (pooled blocks, memory left to the kernel at exit) uses the plain way
// there, so that the sanitizer still sees every misuse and leak.

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool cv_address_sanitizer = true;  // GCC
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool cv_address_sanitizer = true;  // clang
#else
inline constexpr bool cv_address_sanitizer = false;
#endif
#else
inline constexpr bool cv_address_sanitizer = false;
#endif
