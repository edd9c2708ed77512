// libFuzzer target for urllist_explode_charset over arbitrary bytes.
//
// The first input byte picks the explode flags (its low 4 bits), require_scheme (bit 4) and
// the character set (bits 5-6: none, UTF-8, ISO-8859-1, an unknown name); the rest is the
// URL text. Each exploded URL is checked against the invariants the stores rely on, and
// every lazily computed case-insensitive text is built once, so the sanitizers see each
// byte that a lookup would touch.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "urllist/cityhash.h"
#include "urllist/exploded_url.h"
#include "util/category_set.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void check_url(urllist_exploded_url* url, std::string_view text, int flags) {
  check(url->part_count >= 1);
  check(url->parts[url->part_count - 1].kind == URL_PART_END);
  check(url->source_len <= text.size());
  check(std::memcmp(url->source, text.data(), url->source_len) == 0);
  check(url->source[url->source_len] == '\0');
  check(url->authority_len <= url->source_len);
  check(url->label_count <= max_domain_segments);
  check(url->segment_count <= max_path_segments);
  uint32_t labels = 0, segments = 0;
  int last_kind = -1;
  for (uint32_t i = 0; i + 1 < url->part_count; ++i) {
    urllist_url_part& part = url->parts[i];
    check(part.kind < URL_PART_END);
    // Kinds never go backwards; only labels and segments repeat.
    check(static_cast<int>(part.kind) >= last_kind);
    check(static_cast<int>(part.kind) > last_kind || part.kind == URL_PART_DOMAIN ||
          part.kind == URL_PART_PATH);
    last_kind = part.kind;
    check(part.text != nullptr);
    check(std::strlen(part.text) == part.len);
    labels += part.kind == URL_PART_DOMAIN;
    segments += part.kind == URL_PART_PATH;
    if (part.kind == URL_PART_PATH || part.kind == URL_PART_DOMAIN) check(part.len > 0);
    if (!(flags & (EXPLODE_HASHED | EXPLODE_HASHED_DOMAIN)) && part.kind != URL_PART_QUERY) {
      check(part.hash == cityhash64(part.text, part.len));
    }
    const char* lower = urllist_get_nocase_url(url, &part);
    check(lower != nullptr);
    check(std::strlen(lower) == part.len);
  }
  check(labels == url->label_count);
  check(segments == url->segment_count);
  check(url->host_only == (url->segment_count == 0 && url->query_part == nullptr));
  if (url->extension != nullptr) check(*url->extension != '\0');
  if (url->is_ip) check(url->address.family == 2 || url->address.family == 10);
  (void)url->host_view().size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const auto utf8 = urllist_init_charset("UTF-8");
  static const auto latin1 = urllist_init_charset("ISO-8859-1");
  static const auto unknown = urllist_init_charset("NO-SUCH-CHARSET");
  const uint8_t control = data[0];
  const int flags = control & 0x0f;
  const int require_scheme = (control >> 4) & 1;
  const urllist_charset* charsets[] = {nullptr, utf8.get(), latin1.get(), unknown.get()};
  const urllist_charset* charset = charsets[(control >> 5) & 3];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  category_set categories;
  categories.add(1);
  auto url = urllist_explode_charset(text, &categories, require_scheme, flags, charset);
  if (url == nullptr) {
    check(categories.count() == 1 && categories[0] == CATEGORY_INVALID_URL);
    return 0;
  }
  if (url->is_ip) {
    check(categories.count() == 1 && categories[0] == CATEGORY_IP_LITERAL);
  } else {
    check(categories.count() == 1 && categories[0] == 1);
  }
  check_url(url.get(), text, flags);
  return 0;
}
