// Loads fuzzed list text into a URL list and looks fuzzed URLs up in it.
// Input: the first byte picks the list type (0 to 5) and the shared flag; the rest up to the
// first "\n\n" is list text, handed to urllist_add_buffer in two pieces; each line after it
// is a URL, looked up plainly, with diagnostics, through the URL tree only and as a string.
// The list is dumped to /dev/null at the end.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "urllist/dump.h"
#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"
#include "util/category_set.h"
#include "util/cvlog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cvlog_set_silent(true);
  if (size == 0) return 0;
  int type = data[0] % 6;
  uint32_t flags = (data[0] & 0x80) ? URLLIST_FLAG_SHARED : 0;
  std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t cut = in.find("\n\n");
  std::string_view list_text = in.substr(0, cut);
  std::string_view urls = cut == std::string_view::npos ? std::string_view() : in.substr(cut + 2);

  auto list = urllist_initialize(flags);
  if (!list) return 0;
  std::string pending;
  size_t half = list_text.size() / 2;
  urllist_add_buffer(list.get(), list_text.substr(0, half), &pending, type);
  urllist_add_buffer(list.get(), list_text.substr(half), &pending, type);
  urllist_add_buffer(list.get(), "\n", &pending, type);

  while (!urls.empty()) {
    size_t nl = urls.find('\n');
    std::string u(urls.substr(0, nl));
    urls = nl == std::string_view::npos ? std::string_view() : urls.substr(nl + 1);
    category_set cats;
    auto a = urllist_explode_charset(u, &cats, 0, 0, nullptr);
    auto b = urllist_explode_charset(u, &cats, 0, 0, nullptr);
    auto c = urllist_explode_charset(u, &cats, 0, 0, nullptr);
    if (!a || !b || !c) continue;
    urllist_action* plain = nullptr;
    urllist_action* diag_action = nullptr;
    std::string diag;
    int r1 = urllist_lookup_data(list.get(), a.get(), &plain);
    int r2 = urllist_lookup_diag(list.get(), b.get(), &diag_action, &diag);
    // The diagnostic lookup must give the same answer as the plain one.
    if (r1 != r2 || plain != diag_action) __builtin_trap();
    urllist_lookup_diag_urlonly(list.get(), c.get(), &plain, &diag);
    urllist_lookup_category(list.get(), c.get(), &cats);
    std::optional<std::string> lowered;
    urllist_lookup_string_diag(list.get(), u.c_str(), &lowered, &plain, &diag);
  }
  FILE* null_out = fopen("/dev/null", "w");
  if (null_out != nullptr) {
    urllist_dump(list.get(), null_out);
    fclose(null_out);
  }
  return 0;
}
