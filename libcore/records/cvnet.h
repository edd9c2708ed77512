#pragma once
// Address helpers: the IP address record shared by the exploded URL, the IP lists and the
// reverse-DNS cache, and its conversions to and from text.
//
// An address is a family number (2 for IPv4, 10 for IPv6; the Linux values of AF_INET and
// AF_INET6, any other value means "no address") followed by 16 address bytes in network
// order; an IPv4 address uses the first 4 bytes and the other 12 are ignored. Every
// function here is pure or writes only to its out arguments, so all may run on any number
// of threads at once.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr int32_t CVNET_AF_INET = 2;
constexpr int32_t CVNET_AF_INET6 = 10;

// 20 bytes, trivially copyable; the layout is part of the cache and exploded-URL records.
struct cvnet_ipaddr {
  int32_t family = 0;
  uint8_t addr[16] = {};
};

// Bits of an address of `family`: 32, 128, or 0 for any other family.
inline int cvnet_family_bits(int32_t family) {
  return family == CVNET_AF_INET ? 32 : family == CVNET_AF_INET6 ? 128 : 0;
}

// After the call *out is the default address: IPv4 255.255.255.255.
void cvnet_defaultip(cvnet_ipaddr* out);

// 1 when `ip` is the default address (IPv4 255.255.255.255), else 0.
int cvnet_isdefaultip(const cvnet_ipaddr& ip);

// Parses dotted IPv4 text (inet_pton, so exactly four decimal parts) or else IPv6 text.
// When neither form accepts the text and it ends in white space, the trailing white space
// is dropped and both forms are tried once more. Returns 0 with *out set, or -1 with *out set
// to the default address. The text need not be NUL-terminated.
int cvnet_aton(std::string_view text, cvnet_ipaddr* out);

// Text form of the address (inet_ntop): dotted IPv4 text of at most 15 characters or IPv6
// text of at most 45; nullopt for another family.
std::optional<std::string> cvnet_ntoa(const cvnet_ipaddr& ip);

// Writes the inet_ntop text of the address into buf (NUL-terminated). Returns buf, or null
// for another family or when the text does not fit in `size` bytes.
char* cvnet_ntop(const cvnet_ipaddr& ip, char* buf, size_t size);

// Host text of the address: IPv4 dotted text, IPv6 text inside "[" and "]". Returns buf, or
// null for another family or when the text and its NUL do not fit in `size` bytes.
char* cvnet_ntohost(const cvnet_ipaddr& ip, char* buf, size_t size);

// 0 when both addresses are equal: family 2 with equal first 4 bytes, family 10 with equal
// 16 bytes, or the same family that is neither (the bytes are then not compared); 1 otherwise.
int cvnet_compare(const cvnet_ipaddr& a, const cvnet_ipaddr& b);

// 0 when `ip` masked with `netmask` equals `network` (all three of one family, 2 or 10);
// 1 otherwise.
int cvnet_fallin_range(const cvnet_ipaddr& ip, const cvnet_ipaddr& network,
                       const cvnet_ipaddr& netmask);

// Prefix length of a netmask: dotted IPv4 text ("255.255.255.0" gives 24) or IPv6 text
// ("ffff:ffff::" gives 32). -1 when the text is no address or the mask is not contiguous.
int cvnet_netmask_prefix(const cvnet_ipaddr& netmask);
int cvnet_netmask_to_cidr(std::string_view text);

// *out becomes the all-ones netmask of `ip`'s family (a single-address subnet).
// Returns 0, or -1 for another family (*out untouched).
int cvnet_singleip_subnet(const cvnet_ipaddr& ip, cvnet_ipaddr* out);

// The IPv4 address as stored in an in_addr (network byte order), or 0xffffffff
// (INADDR_NONE) for another family.
uint32_t cvnet_addr(const cvnet_ipaddr& ip);

// A 64-bit hash of the family and the significant address bytes, for hash tables keyed by
// address. Equal addresses (cvnet_compare 0) hash alike. Not stable across program versions.
uint64_t cvnet_hash_input(const cvnet_ipaddr& ip);
