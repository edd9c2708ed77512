// Adds fuzzed keyword and phrase entries to a keyword list and scans fuzzed URL texts.
//
// Input: lines. A first line "@before@after" gives boundary strings (either may be empty).
// A line "?text" scans the text after lower-casing it as the lookup does; any other line
// "Ttext" adds the entry text with type letter T (K, W, k or w; other letters are mapped
// onto them). Adds and scans may alternate. Each scan is checked:
//   - in keyword mode the result must be what a plain search over all stored words gives
//     (leftmost position, longest word, boundary rule);
//   - in phrase mode a phrase result must have every required word somewhere in the text,
//     and a word result must carry an action and occur in the text.
// At the end the release callback must be told of every action the list holds, once.
// Input size and line count are bounded so that one input stays fast.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "stores/keywordlist.h"
#include "util/cvlog.h"
#include "util/string.h"

namespace {

size_t g_released = 0;
void count_release(urllist_action* action) {
  if (action == nullptr || action->refcount < 1) __builtin_trap();
  g_released++;
}

bool punct(unsigned char c) {
  return c > 0x20 && c < 0x7f &&
         !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
}

bool boundary_ok(const keywordlist* l, const std::string& t, size_t pos, size_t len) {
  if (pos > 0) {
    bool ok = false;
    if (l->has_before) {
      for (const std::string& b : l->before) {
        ok = ok || (b.size() <= pos && t.compare(pos - b.size(), b.size(), b) == 0);
      }
    } else {
      ok = punct(static_cast<unsigned char>(t[pos - 1]));
    }
    if (!ok) return false;
  }
  const size_t end = pos + len;
  if (end == t.size()) return true;
  if (l->has_after) {
    for (const std::string& a : l->after) {
      if (a.size() <= t.size() - end && t.compare(end, a.size(), a) == 0) return true;
    }
    return false;
  }
  return punct(static_cast<unsigned char>(t[end]));
}

// Keyword mode by brute force over all word records.
const keywordlist_entry* reference_scan(const keywordlist* l, const std::string& t) {
  for (size_t pos = 0; pos < t.size(); pos++) {
    const keywordlist_word* best = nullptr;
    for (const auto& w : l->words) {
      if (w->text.empty() || !w->action) continue;
      if (t.compare(pos, w->text.size(), w->text) != 0) continue;
      if (w->word_flag == KEYWORDLIST_WHOLE_WORD && !boundary_ok(l, t, pos, w->text.size())) {
        continue;
      }
      if (best == nullptr || w->text.size() > best->text.size()) best = w.get();
    }
    if (best != nullptr) return best;
  }
  return nullptr;
}

void check_scan(const keywordlist* l, const std::string& lowered) {
  const keywordlist_entry* got = keywordlist_lookup(l, lowered.c_str(), nullptr, nullptr);
  if (l->phrases.empty()) {
    if (got != reference_scan(l, lowered)) __builtin_trap();
    return;
  }
  if (got == nullptr) return;
  if (!got->action) __builtin_trap();
  for (const auto& p : l->phrases) {
    if (p.get() != got) continue;
    if (!p->stored) __builtin_trap();
    for (const auto& w : l->words) {
      for (const keywordlist_phrase_ref& r : w->phrase_refs) {
        if (r.phrase == p.get() && r.kind == KEYWORDLIST_REQUIRED &&
            lowered.find(w->text) == std::string::npos) {
          __builtin_trap();
        }
      }
    }
    return;
  }
  if (lowered.find(got->text) == std::string::npos) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool silenced = (cvlog_set_silent(true), true);
  (void)silenced;
  if (size > 8192) return 0;

  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < size; i++) {
    if (bytes[i] == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(bytes[i]));
    }
  }
  lines.push_back(cur);
  if (lines.size() > 200) return 0;

  size_t first = 0;
  std::unique_ptr<keywordlist> list;
  if (!lines.empty() && !lines[0].empty() && lines[0][0] == '@') {
    std::string cfg = lines[0].substr(1);
    cfg.resize(std::strlen(cfg.c_str()));
    const size_t at = cfg.find('@');
    const std::string before = cfg.substr(0, at);
    const std::string after = at == std::string::npos ? std::string() : cfg.substr(at + 1);
    list = keywordlist_initialize(before.c_str(), at == std::string::npos ? nullptr : after.c_str(),
                                  count_release);
    first = 1;
  } else {
    list = keywordlist_initialize(nullptr, nullptr, count_release);
  }
  if (!list) return 0;

  static const char kTypes[] = {'K', 'W', 'k', 'w'};
  for (size_t i = first; i < lines.size(); i++) {
    const std::string& line = lines[i];
    if (line.empty()) continue;
    if (line[0] == '?') {
      // Texts reach the scan as C strings, lower-cased as the lookup lowers URL texts.
      std::string text = line.substr(1);
      string_lowercase_url(text.data());
      text.resize(std::strlen(text.c_str()));
      check_scan(list.get(), text);
      continue;
    }
    char type[2] = {line[0], '\0'};
    if (std::strchr("KWkw", line[0]) == nullptr) {
      type[0] = kTypes[static_cast<unsigned char>(line[0]) % 4];
    }
    urllist_action_ref action = urllist_action_share(urllist_action_new(
        URLLIST_ACTION_LIST, reinterpret_cast<void*>(static_cast<intptr_t>(i)), -1));
    const int r = keywordlist_add_entry(list, line.c_str() + 1, action.get(), type);
    if (r != 0 && r != -10 && r != -8) __builtin_trap();
  }

  // Every word record found through its trie, and the counters agree.
  if (list->word_count != list->words.size()) __builtin_trap();
  size_t holders = list->phrases.size();
  for (uint32_t i = 0; i < list->words.size(); i++) {
    const std::string& t = list->words[i]->text;
    const byte_trie* trie = list->tries[t.empty() ? 0 : static_cast<unsigned char>(t[0])].get();
    if (trie == nullptr || trie->find(t.empty() ? t : t.substr(1)) != i) __builtin_trap();
    if (list->words[i]->action) holders++;
  }
  g_released = 0;
  list.reset();
  if (g_released != holders) __builtin_trap();
  return 0;
}
