// Parses an action from fuzzed bytes and carries it out on a fuzzed URL.
// Input: "word\nargument\nurl[\nword2\nargument2]"; a missing line is a null text, so null
// words, arguments and URLs are reached too. A second regexp action is merged into the first
// to exercise chains. The text form is written into a full and into a small buffer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "records/action.h"
#include "records/decode.h"
#include "util/cvlog.h"

namespace {

std::unique_ptr<urllist_action> parse(const std::string* word, const std::string* arg) {
  void* data = nullptr;
  const int32_t kind = urllist_action_parse_action(word ? word->c_str() : nullptr,
                                                   arg ? arg->c_str() : nullptr, &data);
  if (kind >= URLLIST_ACTION_UNKNOWN) {
    if (data) __builtin_trap();  // a failed parse must leave nothing behind
    return nullptr;
  }
  return urllist_action_new(kind, data, -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool silenced = (cvlog_set_silent(true), true);
  (void)silenced;

  // Texts reach the library as C strings, so they end at a NUL as they would on a list line.
  std::vector<std::string> parts;
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] == '\n') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(bytes[i]));
    }
  }
  parts.push_back(cur);
  for (std::string& p : parts) p.resize(std::strlen(p.c_str()));
  auto part = [&](size_t i) -> const std::string* {
    return i < parts.size() ? &parts[i] : nullptr;
  };

  auto action = parse(part(0), part(1));
  if (!action) return 0;
  if (auto second = parse(part(3), part(4))) {
    urllist_action_append_action_data(action.get(), second.get());
  }

  const char* url = part(2) ? part(2)->c_str() : nullptr;
  category_set categories;
  std::string text;
  urllist_header_block headers;
  const int r = urllist_action_process_action(action.get(), &categories, url, &text, &headers);
  if (r == URLLIST_RESULT_HEADERS) {
    // Walk the block: every pointer up to the null one must be a readable text.
    size_t total = 0;
    for (char** p = headers.get(); *p; ++p) total += std::strlen(*p);
    (void)total;
  }
  // The same action carried out again gives the same answer: parsed data is read-only.
  std::string again;
  if (urllist_action_process_action(action.get(), nullptr, url, &again, nullptr) == 4 && r == 4 &&
      again != text) {
    __builtin_trap();
  }

  char buffer[1024];
  urllist_action_dump_action(action.get(), buffer, sizeof buffer);
  char small[7];
  urllist_action_dump_action(action.get(), small, size % sizeof small);
  urllist_action_name(action.get());
  urllist_action_get_category(action.get(), &categories);
  if (url) cvurldecode(url);
  return 0;
}
