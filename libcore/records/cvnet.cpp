#include "records/cvnet.h"

#include <arpa/inet.h>

#include <cstring>

static_assert(AF_INET == CVNET_AF_INET && AF_INET6 == CVNET_AF_INET6,
              "address family numbers are written to files and must be the Linux values");

namespace {

// Longest text either inet_pton form can accept ("ffff:...:255.255.255.255" is 45).
constexpr size_t kMaxAddressText = 46;

int significant_bytes(int32_t family) { return cvnet_family_bits(family) / 8; }

bool is_trailing_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// inet_pton needs a NUL-terminated copy; a text too long for any address fails here
// without being copied.
bool parse_both_forms(std::string_view text, cvnet_ipaddr* out) {
  char buf[kMaxAddressText + 1];
  if (text.size() > kMaxAddressText) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  if (std::memchr(buf, '\0', text.size()) != nullptr) return false;
  uint8_t bytes[16] = {};
  if (inet_pton(AF_INET, buf, bytes) == 1) {
    out->family = CVNET_AF_INET;
    std::memset(out->addr, 0, sizeof out->addr);
    std::memcpy(out->addr, bytes, 4);
    return true;
  }
  if (inet_pton(AF_INET6, buf, bytes) == 1) {
    out->family = CVNET_AF_INET6;
    std::memcpy(out->addr, bytes, 16);
    return true;
  }
  return false;
}

}  // namespace

void cvnet_defaultip(cvnet_ipaddr* out) {
  out->family = CVNET_AF_INET;
  std::memset(out->addr, 0, sizeof out->addr);
  std::memset(out->addr, 0xff, 4);
}

int cvnet_isdefaultip(const cvnet_ipaddr& ip) {
  static const uint8_t kOnes[4] = {0xff, 0xff, 0xff, 0xff};
  return ip.family == CVNET_AF_INET && std::memcmp(ip.addr, kOnes, 4) == 0 ? 1 : 0;
}

int cvnet_aton(std::string_view text, cvnet_ipaddr* out) {
  if (parse_both_forms(text, out)) return 0;
  size_t n = text.size();
  if (n > 0 && is_trailing_space(text[n - 1])) {
    while (n > 0 && is_trailing_space(text[n - 1])) --n;
    if (parse_both_forms(text.substr(0, n), out)) return 0;
  }
  cvnet_defaultip(out);
  return -1;
}

std::optional<std::string> cvnet_ntoa(const cvnet_ipaddr& ip) {
  char buf[INET6_ADDRSTRLEN];
  if (cvnet_ntop(ip, buf, sizeof buf) == nullptr) return std::nullopt;
  return std::string(buf);
}

char* cvnet_ntop(const cvnet_ipaddr& ip, char* buf, size_t size) {
  if (ip.family != CVNET_AF_INET && ip.family != CVNET_AF_INET6) return nullptr;
  if (buf == nullptr || size == 0) return nullptr;
  // inet_ntop takes a socklen_t; a larger buffer is simply used in part.
  socklen_t len = size > 4096 ? 4096 : static_cast<socklen_t>(size);
  return inet_ntop(ip.family, ip.addr, buf, len) == nullptr ? nullptr : buf;
}

char* cvnet_ntohost(const cvnet_ipaddr& ip, char* buf, size_t size) {
  if (ip.family == CVNET_AF_INET) return cvnet_ntop(ip, buf, size);
  if (ip.family != CVNET_AF_INET6 || buf == nullptr) return nullptr;
  char text[INET6_ADDRSTRLEN];
  if (cvnet_ntop(ip, text, sizeof text) == nullptr) return nullptr;
  size_t n = std::strlen(text);
  if (n + 3 > size) return nullptr;
  buf[0] = '[';
  std::memcpy(buf + 1, text, n);
  buf[n + 1] = ']';
  buf[n + 2] = '\0';
  return buf;
}

int cvnet_compare(const cvnet_ipaddr& a, const cvnet_ipaddr& b) {
  if (a.family != b.family) return 1;
  int n = significant_bytes(a.family);
  return std::memcmp(a.addr, b.addr, n) == 0 ? 0 : 1;
}

int cvnet_fallin_range(const cvnet_ipaddr& ip, const cvnet_ipaddr& network,
                       const cvnet_ipaddr& netmask) {
  int n = significant_bytes(ip.family);
  if (n == 0 || network.family != ip.family || netmask.family != ip.family) return 1;
  for (int i = 0; i < n; ++i) {
    if ((ip.addr[i] & netmask.addr[i]) != network.addr[i]) return 1;
  }
  return 0;
}

int cvnet_netmask_prefix(const cvnet_ipaddr& netmask) {
  int n = significant_bytes(netmask.family);
  if (n == 0) return -1;
  int bits = 0;
  int i = 0;
  for (; i < n && netmask.addr[i] == 0xff; ++i) bits += 8;
  if (i < n) {
    uint8_t b = netmask.addr[i];
    // The ones of a contiguous mask byte are a run from its top bit: ~b is then 2^k - 1.
    uint8_t inv = static_cast<uint8_t>(~b);
    if ((inv & (inv + 1)) != 0) return -1;
    while (b & 0x80) {
      ++bits;
      b = static_cast<uint8_t>(b << 1);
    }
    for (++i; i < n; ++i) {
      if (netmask.addr[i] != 0) return -1;
    }
  }
  return bits;
}

int cvnet_netmask_to_cidr(std::string_view text) {
  cvnet_ipaddr mask;
  if (!parse_both_forms(text, &mask)) return -1;
  return cvnet_netmask_prefix(mask);
}

int cvnet_singleip_subnet(const cvnet_ipaddr& ip, cvnet_ipaddr* out) {
  int n = significant_bytes(ip.family);
  if (n == 0) return -1;
  out->family = ip.family;
  std::memset(out->addr, 0, sizeof out->addr);
  std::memset(out->addr, 0xff, n);
  return 0;
}

uint32_t cvnet_addr(const cvnet_ipaddr& ip) {
  if (ip.family != CVNET_AF_INET) return 0xffffffffu;
  uint32_t v;
  std::memcpy(&v, ip.addr, 4);
  return v;
}

uint64_t cvnet_hash_input(const cvnet_ipaddr& ip) {
  // FNV-1a over the family and the bytes that take part in comparisons.
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint8_t b) {
    h ^= b;
    h *= 1099511628211ull;
  };
  for (int s = 0; s < 32; s += 8) mix(static_cast<uint8_t>(static_cast<uint32_t>(ip.family) >> s));
  int n = significant_bytes(ip.family);
  for (int i = 0; i < n; ++i) mix(ip.addr[i]);
  return h;
}
