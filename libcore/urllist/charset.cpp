// Character sets of list files and looked-up URLs: internationalised host names in a given
// character set are converted to their ASCII form before a host is exploded.
#include <idna.h>
#include <stringprep.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "urllist/exploded_url.h"

namespace {

struct free_deleter {
  void operator()(char* p) const noexcept { std::free(p); }  // libidn results come from malloc
};
using malloced_text = std::unique_ptr<char, free_deleter>;

}  // namespace

std::unique_ptr<urllist_charset> urllist_init_charset(const char* name) {
  if (name == nullptr) return nullptr;
  try {
    auto charset = std::make_unique<urllist_charset>();
    charset->name = name;
    charset->flags = std::strncmp(name, "UTF-8", 5) == 0
                         ? urllist_charset::CHARSET_IDN
                         : (urllist_charset::CHARSET_IDN | urllist_charset::CHARSET_CONVERT);
    return charset;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void urllist_free_charset(urllist_charset* charset) noexcept { delete charset; }

std::optional<std::string> urllist_idntoascii(const char* host, const urllist_charset* charset) {
  if (charset == nullptr || host == nullptr) return std::nullopt;
  const bool convert = charset->flags & urllist_charset::CHARSET_CONVERT;
  if (!convert) {
    // IDNA leaves all-ASCII labels as they are (or fails on them), so an ASCII host can never
    // change: spare it the conversion.
    const char* p = host;
    while (*p != '\0' && static_cast<unsigned char>(*p) < 0x80) ++p;
    if (*p == '\0') return std::nullopt;
  }
  malloced_text converted;
  const char* input = host;
  if (convert) {
    converted.reset(stringprep_convert(host, "UTF-8", charset->name.c_str()));
    if (converted) input = converted.get();
  }
  char* out = nullptr;
  const int rc = idna_to_ascii_8z(input, &out, 0);
  malloced_text ascii(out);
  if (rc != IDNA_SUCCESS || ascii == nullptr) return std::nullopt;
  if (std::strncmp(ascii.get(), host, std::strlen(host)) == 0) return std::nullopt;
  return std::string(ascii.get());
}
