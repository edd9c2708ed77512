#pragma once
// Exploded URLs: a URL taken apart into hashed parts, the record every store and lookup reads.
//
// urllist_explode_charset splits a URL (or a list entry) into a scheme part, the domain labels
// from the top-level label down, a port part, the path segments, a query part and an end
// part, and hashes every part once with CityHash64 (hashing.h), so that tree descents compare
// 64-bit values only.
//
// Memory layout. One heap block per URL, built in one allocation once the parts are known:
//
//   +----------------------+  urllist_exploded_url (the header below, 272 bytes)
//   | header               |
//   +----------------------+  parts: part_count elements of 32 bytes, the last one END
//   | parts[]              |
//   +----------------------+  working copy: source_len + 1 bytes; the separators that end
//   | working copy         |  the part texts are overwritten with NUL, so every part text
//   +----------------------+  is NUL-terminated in place
//   | source copy          |  the URL as given, untouched (source_len + 1 bytes)
//   +----------------------+
//   | idn_host, idn copy   |  only when an international host name was converted
//   +----------------------+
//
// Part texts point into the working copy, except the scheme text "*" (a static constant),
// the default port texts (default_port_text in the header) and IDN labels (the IDN copy).
// `source` and `host` point into the source copy (or `host` into idn_host), so the record
// never refers to the caller's text: the caller may release its text right after explode.
//
// Lazy caches (filled by the lookups, released with the record): the lowercase shadow of the
// working copy (urllist_get_nocase_url, urllist_get_nocase_shadow), the digest key, the
// lowered text used by keyword and regular-expression lookups, and the query state of the
// query-parameter module. The query state type is only declared here: the query module
// defines `struct urllist_query_state` and stores it together with its release function in
// `query_state` (see urllist_query_state_deleter), so this file needs no change when the
// query module grows.
//
// Thread safety: explode touches no shared state and may run in many threads at once (its
// scratch tables are per thread). One exploded URL, with its caches, belongs to one thread at
// a time: lookups write its caches.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "records/cvnet.h"
#include "urllist/hashing.h"

class category_set;

// Explode flags (the list store derives them from the letters of a list line's type word).
enum urllist_explode_flag : int {
  EXPLODE_NOCASE = 1,         // lowercase the whole working copy before splitting ("c")
  EXPLODE_HASHED = 2,         // part texts are 16-digit hash texts, parsed, not hashed ("h")
  EXPLODE_HASHED_DOMAIN = 4,  // only the domain parts are hash texts
  EXPLODE_ANY_PORT = 8,       // a port part supplied by default is "0-65535" ("p")
};

// Category numbers explode reports through its category set. Each report empties the set
// first, so afterwards the set holds exactly one of them.
inline constexpr uint32_t CATEGORY_IP_LITERAL = 244;   // the host is an IP literal
inline constexpr uint32_t CATEGORY_INVALID_URL = 247;  // the URL was rejected

// At most this many domain labels and path segments are split per URL; the rest of the text
// stays in the last label or segment.
inline constexpr uint32_t max_domain_segments = 1000;
inline constexpr uint32_t max_path_segments = 5000;

// Part kinds, in the order the parts stand in the array. The numbers are observable (list
// store nodes keep them).
enum urllist_url_part_kind : uint8_t {
  URL_PART_SCHEME = 0,
  URL_PART_DOMAIN = 1,
  URL_PART_PORT = 2,
  URL_PART_PATH = 3,
  URL_PART_QUERY = 4,
  URL_PART_END = 5,
};

// One part of an exploded URL (32 bytes).
struct urllist_url_part {
  // Hash of `text` as written (CityHash64, or the parsed hash text with EXPLODE_HASHED).
  // Query and end parts are not hashed (0).
  urllist_hash_value hash;
  // Hash of the lowercase text; valid only once urllist_get_nocase_url has been called on the
  // part (nocase_ready set).
  urllist_hash_value nocase_hash;
  // NUL-terminated text, null in the end part. Valid as long as the record. The query module
  // may split a query part's text in place (see urllist_part_mutable_text); `len` is then the
  // length before the split.
  const char* text;
  uint32_t len;
  urllist_url_part_kind kind;
  uint8_t nocase_ready;  // nocase_hash and the shadow text of this part are set
  uint8_t reserved[2];
};
static_assert(sizeof(urllist_url_part) == 32);

// An IP address: family (2 IPv4, 10 IPv6, 0 none) and 16 bytes in network order, IPv4 using
// the first 4. The same record the IP lists take, so a URL's address goes to them as it is.
using urllist_ip_address = cvnet_ipaddr;

// Release function of the query module's per-URL state. The query module stores its state
// with `url->query_state = urllist_query_state_ptr(state, {&its_release_function});`.
struct urllist_query_state;
struct urllist_query_state_deleter {
  void (*release)(urllist_query_state*) noexcept = nullptr;
  void operator()(urllist_query_state* state) const noexcept {
    if (state != nullptr && release != nullptr) release(state);
  }
};
using urllist_query_state_ptr = std::unique_ptr<urllist_query_state, urllist_query_state_deleter>;

// The exploded URL. Created only by the functions below (it lives in a block of its own
// layout, see the top of this file); neither copyable nor movable. Release it with
// urllist_free_urllist_exploded_url, or hold it in urllist_exploded_url_ptr.
struct urllist_exploded_url {
  uint8_t is_ip{};               // the host is an IPv4 or IPv6 literal
  uint8_t is_private_ip{};       // the IP literal is in a private or local range
  uint8_t host_only{};           // no path part and no query
  uint8_t bracketed{};           // the host was written inside [ and ]
  urllist_ip_address address{};  // family 0 when the host is no IP literal
  // Text after the last "." of the last path part; null when there is no such text.
  const char* extension{};
  // Text of the first domain part (the top-level label) of a host that is no IP literal.
  const char* tld{};
  // Fragment position: after a "#" that ended the authority or path, the text after it;
  // after a "?", the first "#" inside the query text. Null when none.
  const char* fragment{};
  // Lowercased scheme, or the static text "*" when the URL has none.
  const char* scheme{};
  urllist_hash_value scheme_hash{};
  // Text before the "@" of the authority (ends at a ":" inside it); null when none.
  const char* userinfo{};
  int32_t port{};  // port number; 0 none known; -1 any port
  uint32_t source_len{};
  // The URL as given (an untouched copy, NUL-terminated).
  const char* source{};
  // The host as written (letter case unchanged; NOT NUL-terminated, use host_len), or the
  // ASCII host produced by the IDN conversion.
  const char* host{};
  uint32_t host_len{};
  // Index in `source` of the character that ended the scheme and authority. Bytes before it
  // are case-insensitive, bytes from it on case-sensitive.
  uint32_t authority_len{};
  uint32_t label_count{};    // number of domain parts
  uint32_t segment_count{};  // number of path parts
  // The parts, the last one of kind URL_PART_END; part_count counts it.
  urllist_url_part* parts{};
  uint32_t part_count{};
  urllist_url_part* query_part{};       // null when there is no query
  urllist_url_part* first_path_part{};  // null when there is no path part
  // Base of the working copy (working_len + 1 bytes; working_len equals source_len for every
  // record made by explode); part texts point into it.
  char* working{};
  uint32_t working_len{};

  // ---- lazy caches, filled by lookups, released with the record ----
  // Lowercase shadow of the working copy (working_len + 1 bytes, zero-filled when made).
  std::unique_ptr<char[]> nocase_shadow;
  // Digest key of the URL: one length byte (20) and the SHA-1 bytes.
  std::optional<std::array<unsigned char, 21>> digest;
  // Lowered text for keyword and regular-expression lookups.
  std::optional<std::string> lowered_text;
  // State of the query-parameter module (defined there).
  urllist_query_state_ptr query_state;

  // "80", "443", "0-65535" or "" when explode supplied the port part by default.
  char default_port_text[8]{};
  // ASCII host from the IDN conversion and the copy split into labels; null without one.
  const char* idn_host{};
  char* idn_host_copy{};

  std::span<urllist_url_part> part_span() const { return {parts, part_count}; }
  std::string_view source_view() const { return {source, source_len}; }
  std::string_view host_view() const { return {host, host_len}; }

  urllist_exploded_url() = default;
  urllist_exploded_url(const urllist_exploded_url&) = delete;
  urllist_exploded_url& operator=(const urllist_exploded_url&) = delete;
};

// Releases the record, its parts, IDN buffers and every lookup cache. Accepts null.
void urllist_free_urllist_exploded_url(urllist_exploded_url* url) noexcept;

struct urllist_exploded_url_deleter {
  void operator()(urllist_exploded_url* url) const noexcept {
    urllist_free_urllist_exploded_url(url);
  }
};
using urllist_exploded_url_ptr =
    std::unique_ptr<urllist_exploded_url, urllist_exploded_url_deleter>;

// Character set of the URLs handed to explode: the IDN conversion of host names.
struct urllist_charset {
  enum : uint32_t {
    CHARSET_IDN = 1,      // convert international host names to ASCII
    CHARSET_CONVERT = 2,  // the name is not "UTF-8": convert host text to UTF-8 first
  };
  uint32_t flags = 0;
  std::string name;
};

// Returns a character-set record, or null when `name` is null or memory runs out. Flags are
// CHARSET_IDN when the first five characters of the name are exactly "UTF-8"
// (case-sensitive), else CHARSET_IDN | CHARSET_CONVERT.
std::unique_ptr<urllist_charset> urllist_init_charset(const char* name);

// Releases a record from urllist_init_charset. Accepts null.
void urllist_free_charset(urllist_charset* charset) noexcept;

// The IDN step of explode for one host text: with CHARSET_CONVERT the text is first
// converted from the charset to UTF-8 (a failed conversion keeps it), then made ASCII with
// IDNA (libidn idna_to_ascii_8z, flags 0). Returns the ASCII host when the conversion worked
// and its first strlen(host) characters differ from the host; nullopt otherwise (no charset,
// a libidn failure, or nothing to change). Never fails the URL. Thread-safe.
// REQUIRES: host is NUL-terminated.
std::optional<std::string> urllist_idntoascii(const char* host, const urllist_charset* charset);

// Explodes `text` (it ends at its first NUL byte, if it holds one).
//
// Returns the new exploded URL, or null when the URL is invalid or memory runs out. On an
// invalid URL the category set (when given) holds exactly {247}; when the host is an IP
// literal of a valid URL it holds exactly {244}; otherwise it is left alone (also on memory
// exhaustion). `require_scheme` demands "scheme://" (0 for every caller in the suite).
// `flags` is a bit set of urllist_explode_flag; `charset` (may be null) enables the IDN step.
// The text is not modified and need not outlive the call.
urllist_exploded_url_ptr urllist_explode_charset(std::string_view text, category_set* categories,
                                                 int require_scheme, int flags,
                                                 const urllist_charset* charset);

// A minimal record: no parts (parts null, part_count 0), `source` and `host` a copy of
// `text` and source_len its length; every other field zero. Null when memory runs out.
urllist_exploded_url_ptr urllist_new_urllist_exploded_url(std::string_view text);

// Returns the lowercase text of `part` and makes sure part->nocase_hash is set.
// Scheme, domain and port parts are lowercase already by the way explode builds them: their
// nocase_hash is set to hash and their own text is returned. Path and query parts are
// lowercased into the shadow of the working copy (made on first use) at the same offset;
// the shadow text is returned. Null only when memory runs out. The text stays valid as long
// as the record. REQUIRES: part is one of url's parts (not the end part).
const char* urllist_get_nocase_url(urllist_exploded_url* url, urllist_url_part* part);

// The lowercase shadow of the working copy: working_len + 1 bytes, zero-filled when first
// made. Texts lowercased by any module live there at their working-copy offsets. Null only
// when memory runs out.
char* urllist_get_nocase_shadow(urllist_exploded_url* url);

// Mutable view of a part text that lies in the working copy (path and query parts; the
// query module splits the query text in place). Null for texts outside it.
char* urllist_part_mutable_text(urllist_exploded_url* url, const urllist_url_part* part);

// An exploded URL for an address: a scheme part (`scheme` as given), one domain part (the
// address text: dotted decimal for IPv4, "[text]" for IPv6) and the end part, both hashed
// with CityHash64; is_ip and host_only set, bracketed for IPv6, is_private_ip computed;
// `host` and `source` are the address text. Null when the family is neither 2 nor 10 (the
// address cannot be formatted) or memory runs out.
urllist_exploded_url_ptr urllist_ip_to_exploded_url(const urllist_ip_address& address,
                                                    std::string_view scheme);

// True when the address lies in a private or local range: IPv4 (also mapped into IPv6 as
// ::ffff:a.b.c.d) in 192.168/16, 10/8, 172.16/12, 169.254/16 or 127/8; IPv6 ::1, or whose
// first 16 bits ANDed with 0xFE80 give 0xFE80, or whose first byte ANDed with 0xFC gives 0xFC
// (bit tests the filtering service uses; they cover a little more than fe80::/10 and fc00::/7).
bool urllist_ip_is_private(const urllist_ip_address& address);
