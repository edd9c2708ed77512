#include "urllist/exploded_url.h"

#include <arpa/inet.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "urllist/cityhash.h"
#include "util/category_set.h"

namespace {

// The scheme text of URLs that name none. Static: every record points at the same bytes.
constexpr char kStarScheme[] = "*";

constexpr uint32_t kNone = UINT32_MAX;

// Texts beyond this size are refused as invalid: offsets and lengths are 32-bit, and the
// record holds two copies of the text.
constexpr size_t kMaxTextLen = (UINT32_MAX / 2) - 64;

// A working buffer that grew beyond this size is handed back after the call, so one huge
// URL does not pin memory in every thread that ever saw one.
constexpr size_t kKeepWorkingBuffer = 64 * 1024;

inline char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline void lowercase_ascii(char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = lower_ascii(p[i]);
}

// Scanning. Each loop of explode steps over ordinary bytes until one of a few special bytes
// (separators, the terminating NUL, uppercase letters in host names). With SSE2 (every
// x86-64) 16 bytes are tested at once; the loops then handle one special byte at a time.
//
// The vector loads read up to 15 bytes past the terminating NUL, so every buffer scanned
// here is allocated with kScanPadding readable bytes after its terminator.
constexpr size_t kScanPadding = 16;

template <char... Special>
inline bool is_special(char c) {
  return ((c == Special) || ...);
}

#if defined(__SSE2__)
template <char... Special>
inline int special_mask(__m128i v) {
  __m128i m = _mm_setzero_si128();
  ((m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8(Special)))), ...);
  return _mm_movemask_epi8(m);
}

// Index of the first byte at or after `i` that is one of `Special`. REQUIRES: one of them
// (normally the NUL) occurs at or after i, followed by kScanPadding readable bytes.
template <char... Special>
inline uint32_t skip_until(const char* base, uint32_t i) {
  for (;; i += 16) {
    const int mask =
        special_mask<Special...>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i)));
    if (mask != 0) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
}

// The same for host names: stops at NUL, "." and the uppercase letters A-Z.
inline uint32_t skip_label_text(const char* base, uint32_t i) {
  // Adding 0x3F maps "A".."Z" onto -128..-103, the only bytes below -102 as signed values.
  const __m128i shift = _mm_set1_epi8(0x3F);
  const __m128i limit = _mm_set1_epi8(-102);
  for (;; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
    const __m128i upper = _mm_cmpgt_epi8(limit, _mm_add_epi8(v, shift));
    const int mask = special_mask<'\0', '.'>(v) | _mm_movemask_epi8(upper);
    if (mask != 0) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
}
#else
template <char... Special>
inline uint32_t skip_until(const char* base, uint32_t i) {
  while (!is_special<Special...>(base[i])) ++i;
  return i;
}

inline uint32_t skip_label_text(const char* base, uint32_t i) {
  while (!is_special<'\0', '.'>(base[i]) && !(base[i] >= 'A' && base[i] <= 'Z')) ++i;
  return i;
}
#endif

// A label or segment: offset of its text in the buffer that holds it, and its length.
struct piece {
  uint32_t off;
  uint32_t len;
};

// Per-thread scratch tables: the working copy being cut and the label and segment tables.
// Kept per thread instead of being allocated per call; their sizes keep the label and
// segment limits.
struct explode_scratch {
  std::vector<char> work;
  std::vector<piece> labels;
  std::vector<piece> segments;
  std::vector<char> idn_copy;  // the IDN host being split, NUL-terminated and padded

  explode_scratch() {
    labels.resize(max_domain_segments);
    segments.resize(max_path_segments);
  }
};

explode_scratch& scratch() {
  thread_local explode_scratch tables;
  return tables;
}

// Releases the working buffer after a huge URL when the call ends, however it ends.
struct working_buffer_trim {
  explode_scratch& s;
  ~working_buffer_trim() {
    if (s.work.capacity() > kKeepWorkingBuffer) std::vector<char>().swap(s.work);
    if (s.idn_copy.capacity() > kKeepWorkingBuffer) std::vector<char>().swap(s.idn_copy);
  }
};

// Block layout: header, parts, then the byte areas. Sizes are rounded so the parts array
// stays 8-aligned after the header.
constexpr size_t kHeaderSize = (sizeof(urllist_exploded_url) + alignof(urllist_url_part) - 1) &
                               ~(alignof(urllist_url_part) - 1);

// Allocates one block for the header, `part_count` parts and `bytes` bytes of text, and
// constructs the header in it. Throws std::bad_alloc.
urllist_exploded_url* allocate_record(uint32_t part_count, size_t bytes) {
  size_t total = kHeaderSize + static_cast<size_t>(part_count) * sizeof(urllist_url_part) + bytes;
  // The one raw allocation of the module: header, parts and texts share a block, released
  // in urllist_free_urllist_exploded_url after the header's destructor has run.
  void* block = ::operator new(total);
  auto* url = new (block) urllist_exploded_url();
  if (part_count > 0) {
    url->parts = reinterpret_cast<urllist_url_part*>(static_cast<char*>(block) + kHeaderSize);
    std::memset(static_cast<void*>(url->parts), 0, part_count * sizeof(urllist_url_part));
    url->part_count = part_count;
  }
  return url;
}

// Start of the byte area that follows the parts.
char* text_area(urllist_exploded_url* url, uint32_t part_count) {
  return reinterpret_cast<char*>(url) + kHeaderSize + part_count * sizeof(urllist_url_part);
}

void report_category(category_set* categories, uint32_t category) {
  if (categories == nullptr) return;
  categories->clear();
  categories->add(category);
}

urllist_exploded_url_ptr invalid_url(category_set* categories) {
  try {
    report_category(categories, CATEGORY_INVALID_URL);
  } catch (const std::bad_alloc&) {
    // The set keeps what it had; the URL is refused all the same.
  }
  return nullptr;
}

// Position of the "://" that ends the scheme, or kNone. Without require_scheme a "/" or "?"
// before it means the "://" belongs to a path or query, so the search stops there.
uint32_t find_scheme_separator(const char* w, uint32_t n, bool require_scheme) {
  if (require_scheme) {
    std::string_view view(w, n);
    size_t at = view.find("://");
    return at == std::string_view::npos ? kNone : static_cast<uint32_t>(at);
  }
  // w[n] is NUL and the text holds no other NUL, so the table stops the scan at the end.
  for (uint32_t i = 0;; ++i) {
    i = skip_until<'\0', '/', '?', ':'>(w, i);
    const char c = w[i];
    if (c != ':') return kNone;  // "/", "?" or the end
    if (w[i + 1] == '/' && w[i + 2] == '/') return i;
  }
}

// Splits the NUL-terminated host at `base` into labels, lowercasing while it scans. Stops
// once max_domain_segments labels exist: the rest stays unsplit and unlowered in the last
// label. Returns the number of labels (at least 1). REQUIRES: kScanPadding readable bytes
// after the host's terminator.
uint32_t split_labels(char* base, piece* labels) {
  uint32_t count = 1;
  labels[0].off = 0;
  uint32_t i = 0;
  for (;; ++i) {
    i = skip_label_text(base, i);
    const char c = base[i];
    if (c == '\0') break;
    if (c == '.') {
      base[i] = '\0';
      labels[count - 1].len = i - labels[count - 1].off;
      labels[count].off = i + 1;
      ++count;
      if (count == max_domain_segments) {
        i = i + 1 + static_cast<uint32_t>(std::strlen(base + i + 1));
        break;
      }
    } else {
      base[i] = lower_ascii(c);
    }
  }
  labels[count - 1].len = i - labels[count - 1].off;
  return count;
}

bool is_private_ipv4(const uint8_t* a) {
  return (a[0] == 192 && a[1] == 168) || a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) ||
         (a[0] == 169 && a[1] == 254) || a[0] == 127;
}

// Hash of a part under the explode flags (the query and end parts are never hashed here).
void hash_part(urllist_url_part& part, int flags, int32_t* port) {
  const bool parse =
      (flags & EXPLODE_HASHED) || ((flags & EXPLODE_HASHED_DOMAIN) && part.kind == URL_PART_DOMAIN);
  if (!parse) {
    part.hash = cityhash64(part.text, part.len);
    return;
  }
  if (urllist_str2hash(part.text, part.len, &part.hash) == 0) {
    if (part.kind == URL_PART_PORT) *port = 0;
  } else if (part.kind == URL_PART_PORT) {
    // A port written in digits inside a hashed entry: hash its text like a plain one.
    part.hash = cityhash64(part.text, part.len);
  }
  // Other parts keep the partial value of the failed parse.
}

urllist_exploded_url_ptr explode(std::string_view text, category_set* categories,
                                 bool require_scheme, int flags, const urllist_charset* charset) {
  explode_scratch& s = scratch();
  working_buffer_trim trim{s};
  const uint32_t n = static_cast<uint32_t>(text.size());
  s.work.resize(static_cast<size_t>(n) + 1 + kScanPadding);
  char* w = s.work.data();
  std::memcpy(w, text.data(), n);
  w[n] = '\0';
  if (flags & EXPLODE_NOCASE) lowercase_ascii(w, n);

  // Scheme.
  bool scheme_in_text = false;
  uint32_t scheme_len = 0;
  urllist_hash_value scheme_hash = URLLIST_HASH_STAR;
  uint32_t pos = 0;
  uint32_t separator = find_scheme_separator(w, n, require_scheme);
  if (separator == kNone) {
    if (require_scheme) return invalid_url(categories);
  } else {
    scheme_in_text = true;
    scheme_len = separator;
    w[separator] = '\0';
    if (!(flags & EXPLODE_NOCASE)) lowercase_ascii(w, scheme_len);
    if (flags & EXPLODE_HASHED) {
      urllist_str2hash(w, scheme_len, &scheme_hash);
    } else {
      scheme_hash = cityhash64(w, scheme_len);
    }
    pos = separator + 3;
  }

  // Authority scan. Every separator is overwritten with NUL, so each piece of text is
  // NUL-terminated where it ends.
  uint32_t host = pos;
  uint32_t port = kNone;
  uint32_t userinfo = kNone;
  uint32_t path = kNone;
  uint32_t query = kNone;
  uint32_t fragment = kNone;
  uint32_t authority_len = n;
  bool bracketed = false;
  // The authority or the path ended at "?" or "#" (c) at index i: a "#" starts the fragment
  // right after it; after a "?" the fragment is the first "#" inside the query text.
  auto note_fragment = [&](char c, uint32_t i) {
    if (require_scheme) return;
    if (c == '#') {
      fragment = i + 1;
    } else if (query != kNone) {
      auto* hash = static_cast<char*>(std::memchr(w + query, '#', n - query));
      if (hash != nullptr) fragment = static_cast<uint32_t>(hash - w);
    }
  };
  for (uint32_t i = pos;; ++i) {
    i = skip_until<'\0', '@', '[', ':', '/', '?', '#'>(w, i);
    const char c = w[i];
    if (c == '\0') {
      authority_len = i;
      break;
    }
    if (c == '@') {
      w[i] = '\0';
      userinfo = host;
      host = i + 1;
      port = kNone;
    } else if (c == '[') {
      host = i + 1;
      auto* close = static_cast<char*>(std::memchr(w + i + 1, ']', n - i - 1));
      if (close == nullptr) {
        authority_len = n;
        break;
      }
      i = static_cast<uint32_t>(close - w);
      w[i] = '\0';
      bracketed = true;
    } else if (c == ':') {
      w[i] = '\0';
      port = i + 1;
    } else if (c == '/') {
      w[i] = '\0';
      authority_len = i;
      path = i + 1;
      break;
    } else if (c == '?' || c == '#') {
      w[i] = '\0';
      if (w[i + 1] != '\0') {
        query = i + 1;
        authority_len = i;
      } else {
        authority_len = i + 1;
      }
      note_fragment(c, i);
      break;
    }
  }
  const uint32_t host_len = static_cast<uint32_t>(std::strlen(w + host));

  // IP literal: whatever the system's parsers accept, short IPv4 forms included. inet_aton
  // needs a leading digit and every IPv6 text holds a ":", which spares most host names the
  // calls.
  urllist_ip_address address{};
  bool is_ip = false;
  {
    const char first = w[host];
    const bool maybe_v4 = first >= '0' && first <= '9';
    const bool maybe_v6 = std::memchr(w + host, ':', host_len) != nullptr;
    if (maybe_v4) {
      in_addr a4{};
      if (inet_aton(w + host, &a4) != 0) {
        address.family = AF_INET;
        std::memcpy(address.addr, &a4, 4);
        is_ip = true;
      }
    }
    if (!is_ip && maybe_v6) {
      in6_addr a6{};
      if (inet_pton(AF_INET6, w + host, &a6) == 1) {
        address.family = AF_INET6;
        std::memcpy(address.addr, &a6, 16);
        is_ip = true;
      }
    }
  }

  // Empty host: a bare path or query entry is fine, "scheme:///path" is not.
  const std::string_view scheme_text =
      scheme_in_text ? std::string_view(w, scheme_len) : std::string_view(kStarScheme);
  if (host_len == 0) {
    if (require_scheme) return invalid_url(categories);
    if (path != kNone && scheme_text != "*") return invalid_url(categories);
  }

  // Domain labels.
  uint32_t raw_labels = 0;
  bool labels_in_idn = false;
  std::optional<std::string> idn;
  piece* labels = s.labels.data();
  if (host_len > 0) {
    if (is_ip) {
      labels[0] = {host, host_len};
      raw_labels = 1;
    } else {
      if (charset != nullptr) idn = urllist_idntoascii(w + host, charset);
      if (idn) {
        s.idn_copy.assign(idn->size() + 1 + kScanPadding, '\0');
        std::memcpy(s.idn_copy.data(), idn->data(), idn->size());
        raw_labels = split_labels(s.idn_copy.data(), labels);
        labels_in_idn = true;
      } else {
        raw_labels = split_labels(w + host, labels);
        for (uint32_t k = 0; k < raw_labels; ++k) labels[k].off += host;
      }
    }
  }
  uint32_t label_count = 0;
  for (uint32_t k = 0; k < raw_labels; ++k) label_count += labels[k].len > 0;
  if (raw_labels > 0 && label_count == 0) return invalid_url(categories);

  // Path segments. Splitting stops once max_path_segments exist; the rest, "?" and "#"
  // included, stays in the last one.
  piece* segments = s.segments.data();
  uint32_t raw_segments = 0;
  if (path != kNone) {
    raw_segments = 1;
    segments[0].off = path;
    uint32_t i = path;
    for (;; ++i) {
      i = skip_until<'\0', '/', '?', '#'>(w, i);
      const char c = w[i];
      if (c == '\0') break;
      if (c == '/') {
        w[i] = '\0';
        segments[raw_segments - 1].len = i - segments[raw_segments - 1].off;
        segments[raw_segments].off = i + 1;
        ++raw_segments;
        if (raw_segments == max_path_segments) {
          i = n;
          break;
        }
      } else {
        w[i] = '\0';
        if (w[i + 1] != '\0') query = i + 1;
        note_fragment(c, i);
        break;
      }
    }
    segments[raw_segments - 1].len = i - segments[raw_segments - 1].off;
  }
  uint32_t segment_count = 0;
  for (uint32_t k = 0; k < raw_segments; ++k) segment_count += segments[k].len > 0;

  // A query made only of "?" and "&" is no query.
  if (query != kNone && std::strspn(w + query, "?&") == n - query) query = kNone;

  // Port: the one written, or a default one.
  const bool has_path = segment_count > 0;
  const bool scheme_is_star =
      (flags & EXPLODE_HASHED) ? scheme_hash == URLLIST_HASH_STAR : scheme_text == "*";
  bool port_part = false;
  const char* default_port = nullptr;
  int32_t port_number = 0;
  if (port != kNone) {
    const std::string_view port_text(w + port);
    const bool implied = (scheme_text == "http" && port_text == "80") ||
                         (scheme_text == "https" && port_text == "443");
    if (require_scheme || has_path || !implied) {
      port_part = true;
      port_number = static_cast<int32_t>(std::strtol(w + port, nullptr, 10));
    }
  } else if (require_scheme || (has_path && label_count > 0)) {
    port_part = true;
    const bool hashed = flags & EXPLODE_HASHED;
    if ((flags & EXPLODE_ANY_PORT) || scheme_is_star) {
      default_port = "0-65535";
      port_number = -1;
    } else if (hashed ? scheme_hash == URLLIST_HASH_HTTP : scheme_text == "http") {
      default_port = "80";
      port_number = 80;
    } else if (hashed ? scheme_hash == URLLIST_HASH_HTTPS : scheme_text == "https") {
      default_port = "443";
      port_number = 443;
    } else {
      default_port = "";
      port_number = 0;
    }
  }

  const bool scheme_part = scheme_in_text || raw_labels > 0;
  const uint32_t part_count = (scheme_part ? 1 : 0) + label_count + (port_part ? 1 : 0) +
                              segment_count + (query != kNone ? 1 : 0) + 1;

  // Build the record: header, parts, working copy, source copy, IDN host and its copy.
  const size_t idn_size = labels_in_idn ? idn->size() + 1 : 0;
  const size_t bytes = 2 * (static_cast<size_t>(n) + 1) + 2 * idn_size;
  urllist_exploded_url_ptr url(allocate_record(part_count, bytes));
  char* const working = text_area(url.get(), part_count);
  char* const source = working + n + 1;
  std::memcpy(working, w, static_cast<size_t>(n) + 1);
  std::memcpy(source, text.data(), n);
  source[n] = '\0';
  char* idn_copy = nullptr;
  if (labels_in_idn) {
    char* idn_host = source + n + 1;
    idn_copy = idn_host + idn_size;
    std::memcpy(idn_host, idn->c_str(), idn_size);
    std::memcpy(idn_copy, s.idn_copy.data(), idn_size);  // split at the dots and lowered
    url->idn_host = idn_host;
    url->idn_host_copy = idn_copy;
  }

  url->working = working;
  url->working_len = n;
  url->source = source;
  url->source_len = n;
  url->authority_len = authority_len;
  url->bracketed = bracketed;
  url->is_ip = is_ip;
  url->address = address;
  if (is_ip) url->is_private_ip = urllist_ip_is_private(address);
  if (labels_in_idn) {
    url->host = url->idn_host;
    url->host_len = static_cast<uint32_t>(idn_size - 1);
  } else {
    url->host = source + host;
    url->host_len = host_len;
  }
  url->scheme = scheme_in_text ? working : kStarScheme;
  url->scheme_hash = scheme_hash;
  if (userinfo != kNone) url->userinfo = working + userinfo;
  if (fragment != kNone) url->fragment = working + fragment;
  url->port = port_number;
  url->label_count = label_count;
  url->segment_count = segment_count;

  urllist_url_part* part = url->parts;
  if (scheme_part) {
    part->kind = URL_PART_SCHEME;
    part->text = url->scheme;
    part->len = scheme_in_text ? scheme_len : 1;
    // The scheme hash was taken (or parsed) once already; a scheme-less hashed entry keeps
    // the hash of "*" rather than the failed parse of the text "*".
    part->hash = scheme_hash;
    ++part;
  }
  const char* label_base = labels_in_idn ? idn_copy : working;
  for (uint32_t k = raw_labels; k-- > 0;) {
    if (labels[k].len == 0) continue;
    part->kind = URL_PART_DOMAIN;
    part->text = label_base + labels[k].off;
    part->len = labels[k].len;
    hash_part(*part, flags, &url->port);
    if (!is_ip && url->tld == nullptr) url->tld = part->text;
    ++part;
  }
  if (port_part) {
    part->kind = URL_PART_PORT;
    if (default_port != nullptr) {
      const size_t len = std::strlen(default_port);
      std::memcpy(url->default_port_text, default_port, len + 1);
      part->text = url->default_port_text;
      part->len = static_cast<uint32_t>(len);
    } else {
      part->text = working + port;
      part->len = static_cast<uint32_t>(std::strlen(working + port));
    }
    hash_part(*part, flags, &url->port);
    ++part;
  }
  for (uint32_t k = 0; k < raw_segments; ++k) {
    if (segments[k].len == 0) continue;
    part->kind = URL_PART_PATH;
    part->text = working + segments[k].off;
    part->len = segments[k].len;
    hash_part(*part, flags, &url->port);
    if (url->first_path_part == nullptr) url->first_path_part = part;
    ++part;
  }
  if (segment_count > 0) {
    const urllist_url_part& last = part[-1];
    auto* dot = static_cast<const char*>(memrchr(last.text, '.', last.len));
    if (dot != nullptr && dot + 1 < last.text + last.len) url->extension = dot + 1;
  }
  url->host_only = segment_count == 0 && query == kNone;
  if (query != kNone) {
    part->kind = URL_PART_QUERY;
    part->text = working + query;
    part->len = n - query;
    url->query_part = part;
    ++part;
  }
  part->kind = URL_PART_END;

  if (is_ip) report_category(categories, CATEGORY_IP_LITERAL);
  return url;
}

}  // namespace

void urllist_free_urllist_exploded_url(urllist_exploded_url* url) noexcept {
  if (url == nullptr) return;
  url->~urllist_exploded_url();
  ::operator delete(static_cast<void*>(url));
}

bool urllist_ip_is_private(const urllist_ip_address& address) {
  const uint8_t* a = address.addr;
  if (address.family == AF_INET) return is_private_ipv4(a);
  if (address.family != AF_INET6) return false;
  static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255};
  if (std::memcmp(a, kMapped, 12) == 0) return is_private_ipv4(a + 12);
  static constexpr uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::memcmp(a, kLoopback, 16) == 0) return true;
  const unsigned first16 = (static_cast<unsigned>(a[0]) << 8) | a[1];
  return (first16 & 0xFE80u) == 0xFE80u || (a[0] & 0xFCu) == 0xFCu;
}

urllist_exploded_url_ptr urllist_explode_charset(std::string_view text, category_set* categories,
                                                 int require_scheme, int flags,
                                                 const urllist_charset* charset) {
  if (text.empty()) return invalid_url(categories);
  if (const void* nul = std::memchr(text.data(), '\0', text.size())) {
    text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
    if (text.empty()) return invalid_url(categories);
  }
  if (text.size() > kMaxTextLen) return invalid_url(categories);
  try {
    return explode(text, categories, require_scheme != 0, flags, charset);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

urllist_exploded_url_ptr urllist_new_urllist_exploded_url(std::string_view text) {
  if (const void* nul = text.empty() ? nullptr : std::memchr(text.data(), '\0', text.size())) {
    text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
  }
  if (text.size() > kMaxTextLen) return nullptr;
  try {
    const uint32_t n = static_cast<uint32_t>(text.size());
    urllist_exploded_url_ptr url(allocate_record(0, 2 * (static_cast<size_t>(n) + 1)));
    char* working = text_area(url.get(), 0);
    char* source = working + n + 1;
    if (n > 0) std::memcpy(working, text.data(), n);
    working[n] = '\0';
    if (n > 0) std::memcpy(source, text.data(), n);
    source[n] = '\0';
    url->working = working;
    url->working_len = n;
    url->source = source;
    url->source_len = n;
    url->host = source;
    return url;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* urllist_get_nocase_shadow(urllist_exploded_url* url) {
  if (url->nocase_shadow == nullptr) {
    try {
      url->nocase_shadow = std::make_unique<char[]>(static_cast<size_t>(url->working_len) + 1);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return url->nocase_shadow.get();
}

char* urllist_part_mutable_text(urllist_exploded_url* url, const urllist_url_part* part) {
  if (part->text == nullptr || url->working == nullptr) return nullptr;
  if (part->text < url->working || part->text > url->working + url->working_len) return nullptr;
  return url->working + (part->text - url->working);
}

const char* urllist_get_nocase_url(urllist_exploded_url* url, urllist_url_part* part) {
  switch (part->kind) {
    case URL_PART_SCHEME:
    case URL_PART_DOMAIN:
    case URL_PART_PORT:
      // Lowercase by construction: the scheme and labels were lowered while splitting (or
      // are hash texts), and port texts are digits or default texts.
      part->nocase_hash = part->hash;
      part->nocase_ready = 1;
      return part->text;
    case URL_PART_END:
      return nullptr;
    default:
      break;
  }
  char* text = urllist_part_mutable_text(url, part);
  if (text == nullptr) return nullptr;
  char* shadow = urllist_get_nocase_shadow(url);
  if (shadow == nullptr) return nullptr;
  const size_t off = static_cast<size_t>(text - url->working);
  if (!part->nocase_ready) {
    for (uint32_t i = 0; i < part->len; ++i) shadow[off + i] = lower_ascii(text[i]);
    part->nocase_hash = cityhash64(shadow + off, part->len);
    part->nocase_ready = 1;
  }
  return shadow + off;
}

urllist_exploded_url_ptr urllist_ip_to_exploded_url(const urllist_ip_address& address,
                                                    std::string_view scheme) {
  // The address text: dotted decimal, or the IPv6 text inside brackets (49 bytes hold the
  // longest IPv6 text, its brackets and the terminator).
  char text[49];
  if (address.family == AF_INET) {
    if (inet_ntop(AF_INET, address.addr, text, sizeof text) == nullptr) return nullptr;
  } else if (address.family == AF_INET6) {
    text[0] = '[';
    if (inet_ntop(AF_INET6, address.addr, text + 1, sizeof text - 2) == nullptr) return nullptr;
    std::strcat(text, "]");
  } else {
    return nullptr;
  }
  if (const void* nul =
          scheme.empty() ? nullptr : std::memchr(scheme.data(), '\0', scheme.size())) {
    scheme = scheme.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - scheme.data()));
  }
  if (scheme.size() > kMaxTextLen) return nullptr;
  try {
    const uint32_t scheme_len = static_cast<uint32_t>(scheme.size());
    const uint32_t text_len = static_cast<uint32_t>(std::strlen(text));
    const uint32_t n = scheme_len + 1 + text_len;
    urllist_exploded_url_ptr url(allocate_record(3, static_cast<size_t>(n) + 1));
    char* working = text_area(url.get(), 3);
    if (scheme_len > 0) std::memcpy(working, scheme.data(), scheme_len);
    working[scheme_len] = '\0';
    std::memcpy(working + scheme_len + 1, text, static_cast<size_t>(text_len) + 1);
    char* host = working + scheme_len + 1;

    url->working = working;
    url->working_len = n;
    url->source = host;
    url->source_len = text_len;
    url->authority_len = text_len;
    url->host = host;
    url->host_len = text_len;
    url->is_ip = 1;
    url->host_only = 1;
    url->bracketed = address.family == AF_INET6;
    url->address = address;
    url->is_private_ip = urllist_ip_is_private(address);
    url->scheme = working;
    url->scheme_hash = cityhash64(working, scheme_len);
    url->label_count = 1;

    urllist_url_part* parts = url->parts;
    parts[0] = {url->scheme_hash, 0, working, scheme_len, URL_PART_SCHEME, 0, {}};
    parts[1] = {cityhash64(host, text_len), 0, host, text_len, URL_PART_DOMAIN, 0, {}};
    parts[2].kind = URL_PART_END;
    return url;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
