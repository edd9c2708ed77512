// Stores fuzzed query entries at one node, looks fuzzed URL queries up against it, and checks
// everything against a plain reference written from the matching rules: the splitting, the
// hashes, the candidate lists of the hash index, the equality of added queries, the match of
// every URL, and a copy of the node that must answer the same.
//
// Input: lines. "E<f><text>" stores the entry "h/p<text>" (f: bit 0 case-insensitive, bit 1
// hashed, bit 2 action already expired, bit 3 no action); "U<text>" looks up the URL
// "h/p<text>". The first line "R<line>" repeats the text of <line> past 4999 separators (at
// most about 12 kB), which reaches the limit of pieces. At most 64 lines are read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "urllist/query.h"
#include "util/cvlog.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool separator(char c) { return c == '?' || c == '&' || c == '#'; }

// The splitting rule, written plainly.
std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> pieces;
  std::string cur;
  uint32_t seps = 0;
  for (char c : text) {
    if (c == '\0') break;
    if (seps < URLLIST_QUERY_MAX_PIECES - 1 && separator(c)) {
      ++seps;
      if (!cur.empty()) pieces.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) pieces.push_back(cur);
  return pieces;
}

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

struct UrlHashes {
  std::vector<urllist_hash_value> full, name;
};

UrlHashes url_hashes(const std::vector<std::string>& params, bool nocase) {
  UrlHashes h;
  for (std::string p : params) {
    if (nocase) p = lower(p);
    h.full.push_back(urllist_hash(p));
    h.name.push_back(urllist_hash(std::string_view(p).substr(0, p.find('='))));
  }
  return h;
}

bool ranks_before(const urllist_query_item* a, const urllist_query_item* b) {
  if (a->count != b->count) return a->count > b->count;
  return a->name_only_count < b->name_only_count;
}

using Lists = std::map<urllist_hash_value, std::vector<const urllist_query_item*>>;

// The candidate lists of a tree: every item once per parameter with that full hash, in
// candidate order, insertion order among equals.
Lists candidate_lists(const urllist_query_tree* tree) {
  Lists lists;
  if (tree == nullptr) return lists;
  for (const auto& item : tree->items) {
    for (urllist_hash_value x : item->full_hashes()) lists[x].push_back(item.get());
  }
  for (auto& [hash, list] : lists) std::stable_sort(list.begin(), list.end(), ranks_before);
  return lists;
}

bool matches(const urllist_query_item* item, const std::multiset<urllist_hash_value>& set) {
  const urllist_action* a = item->action.get();
  if (a == nullptr || (a->expiry > 0 && a->expiry <= current_time)) return false;
  std::map<urllist_hash_value, size_t> wanted;
  for (urllist_hash_value h : item->full_hashes()) ++wanted[h];
  for (const auto& [h, n] : wanted) {
    const size_t have = set.count(h);
    if (have == 0) return false;
    // Repeated parameters each take one member of their own.
    if ((item->flags & URLLIST_QUERY_REPEATED) && have < n) return false;
  }
  return true;
}

const urllist_query_item* reference_lookup(const Lists& lists, const UrlHashes& h) {
  if (h.full.empty()) return nullptr;
  std::multiset<urllist_hash_value> set(h.full.begin(), h.full.end());
  set.insert(h.name.begin(), h.name.end());
  std::map<const urllist_query_item*, bool> verdicts;
  auto judge = [&](urllist_hash_value hash) -> const urllist_query_item* {
    auto it = lists.find(hash);
    if (it == lists.end()) return nullptr;
    for (const auto* c : it->second) {
      auto [v, fresh] = verdicts.try_emplace(c, false);
      if (fresh) v->second = matches(c, set);
      if (v->second) return c;
    }
    return nullptr;
  };
  for (size_t i = 0; i < h.full.size(); ++i) {
    const bool by_name = lists.count(h.full[i]) == 0;
    if (const auto* c = judge(by_name ? h.name[i] : h.full[i])) return c;
    if (!by_name) {
      if (const auto* c = judge(h.name[i])) return c;
    }
  }
  return nullptr;
}

std::vector<urllist_hash_value> sorted_full(const urllist_query_item* item) {
  std::vector<urllist_hash_value> v(item->full_hashes().begin(), item->full_hashes().end());
  std::sort(v.begin(), v.end());
  return v;
}

void check_index(const urllist_query_tree* tree) {
  if (tree == nullptr) return;
  const Lists want = candidate_lists(tree);
  check(tree->index.size() == want.size());
  for (const auto& [hash, list] : want) {
    const auto* got = tree->index.find(hash);
    check(got != nullptr);
    check(std::vector<const urllist_query_item*>(got->begin(), got->end()) == list);
  }
  size_t visited = 0;
  tree->index.for_each([&](urllist_hash_value hash, const urllist_query_index::list& list) {
    check(want.count(hash) == 1 && !list.empty());
    ++visited;
  });
  check(visited == want.size());
}

// Entry items checked against the plain hashing rule.
void check_item(const urllist_query_item* item, const std::string& text, int flags) {
  const bool hashed = flags & EXPLODE_HASHED;
  auto pieces = split((flags & EXPLODE_NOCASE) && !hashed ? lower(text) : text);
  check(item->count == pieces.size());
  uint32_t name_only = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string& p = pieces[i];
    if (hashed) {
      urllist_hash_value v = 0;
      urllist_str2hash(p, &v);
      check(item->full_hashes()[i] == v);
      continue;
    }
    const size_t eq = p.find('=');
    const bool value = eq != std::string::npos && eq + 1 < p.size();
    const urllist_hash_value name = urllist_hash(std::string_view(p).substr(0, eq));
    check(item->name_hashes()[i] == name);
    check(item->full_hashes()[i] == (value ? urllist_hash(p) : name));
    name_only += item->full_hashes()[i] == name;
  }
  check(item->name_only_count == name_only);
  std::vector<std::string> sorted = pieces;
  std::sort(sorted.begin(), sorted.end());
  const bool repeated = std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
  check(((item->flags & URLLIST_QUERY_REPEATED) != 0) == repeated);
  check(((item->flags & URLLIST_QUERY_HASHED) != 0) == hashed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool silenced = (cvlog_set_silent(true), true);
  (void)silenced;
  if (size > 8192) return 0;
  current_time = 5;

  std::vector<std::string> lines;
  {
    std::string cur;
    for (size_t i = 0; i < size; ++i) {
      if (bytes[i] == '\n') {
        lines.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(static_cast<char>(bytes[i]));
      }
    }
    lines.push_back(cur);
  }
  if (lines.size() > 64) lines.resize(64);

  urllist_query_trees node;
  std::vector<std::string> urls;
  int32_t kind = 0;
  auto deny = urllist_action_share(urllist_action_create("D", nullptr, -1, &kind));
  auto expired = urllist_action_share(urllist_action_create("A", nullptr, 3, &kind));

  bool repeated_once = false;
  for (std::string line : lines) {
    if (!line.empty() && line[0] == 'R') {
      // Only the first repeated line grows, just past the piece limit, so that one input
      // costs at most one huge query.
      if (repeated_once || line.size() < 3) continue;
      repeated_once = true;
      line.erase(0, 1);
      const std::string head = line.substr(0, line[0] == 'E' ? 2 : 1);
      const std::string body = line.substr(head.size());
      const size_t body_separators = std::count_if(body.begin(), body.end(), separator);
      if (body.empty()) continue;
      line = head;
      size_t separators = 0;
      while (line.size() < 12000 && separators <= URLLIST_QUERY_MAX_PIECES) {
        line += body;
        separators += body_separators;
      }
    }
    if (line.size() >= 2 && line[0] == 'E') {
      const int bits = line[1] & 15;
      const int flags = bits & (EXPLODE_NOCASE | EXPLODE_HASHED);
      const std::string entry_text = "h/p" + line.substr(2);
      auto entry = urllist_explode_charset(entry_text, nullptr, 0, flags, nullptr);
      if (!entry || entry->query_part == nullptr) continue;
      const std::string query(entry->query_part->text, entry->query_part->len);
      const urllist_query_tree* before = node.tree(flags & EXPLODE_NOCASE);
      const size_t old_items = before ? before->items.size() : 0;
      std::vector<const urllist_query_item*> old;
      if (before) {
        for (const auto& it : before->items) old.push_back(it.get());
      }
      urllist_query_item* item = urllist_query_add(entry.get(), query, &node, flags);
      if (item == nullptr) {
        check(split(query).empty());
        continue;
      }
      const urllist_query_tree* tree = node.tree(flags & EXPLODE_NOCASE);
      check(tree != nullptr);
      auto fresh = urllist_new_urllist_query_item(query, flags);
      check(fresh != nullptr);
      check_item(fresh.get(), query, flags);
      // An existing item is returned exactly when one has the same parameters.
      const urllist_query_item* equal = nullptr;
      for (const auto* o : old) {
        if (o->count == fresh->count && sorted_full(o) == sorted_full(fresh.get())) {
          equal = o;
          break;
        }
      }
      if (equal != nullptr) {
        check(item == equal && tree->items.size() == old_items);
      } else {
        check(tree->items.size() == old_items + 1 && tree->items.back().get() == item);
        check_item(item, query, flags);
      }
      if (bits & 8) {
        item->action.reset();
      } else {
        item->action = (bits & 4) ? expired : deny;
      }
    } else if (!line.empty() && line[0] == 'U') {
      urls.push_back("h/p" + line.substr(1));
    }
  }

  check_index(node.tree(0));
  check_index(node.tree(1));
  urllist_query_trees copy;
  check(urllist_clone_urllist_item_query(node, &copy) == 0);
  check_index(copy.tree(0));
  check_index(copy.tree(1));

  const Lists lists[2] = {candidate_lists(node.tree(0)), candidate_lists(node.tree(1))};
  for (const std::string& text : urls) {
    auto url = urllist_explode_charset(text, nullptr, 0, 0, nullptr);
    if (!url) continue;
    const std::string query =
        url->query_part ? std::string(url->query_part->text, url->query_part->len) : "";
    const auto params = split(query);

    const urllist_query_item* want = reference_lookup(lists[0], url_hashes(params, false));
    int want_mode = 0;
    if (want == nullptr) {
      want = reference_lookup(lists[1], url_hashes(params, true));
      want_mode = 1;
    }
    int mode = -1;
    const urllist_query_item* got = urllist_query_lookup_node(url.get(), node, &mode);
    check(got == want);
    if (got != nullptr) {
      check(mode == want_mode);
      std::string diag;
      check(urllist_query_append_diag(url.get(), got, mode, &diag) == 0);
      check(!diag.empty());
    }

    // The split as the lookup left it agrees with the plain rule.
    uint32_t count = 0;
    const char* const* list = urllist_get_query_list(url.get(), &count);
    check(count == (list ? params.size() : 0));
    for (uint32_t i = 0; list && i < count; ++i) check(params[i] == list[i]);
    const char* const* lowered = urllist_get_nocase_query_list(url.get());
    for (uint32_t i = 0; lowered && i < count; ++i) check(lower(params[i]) == lowered[i]);

    // The copy answers with an item of the same parameters and the same action.
    auto again = urllist_explode_charset(text, nullptr, 0, 0, nullptr);
    const urllist_query_item* copied = urllist_query_lookup_node(again.get(), copy);
    check((copied == nullptr) == (got == nullptr));
    if (copied != nullptr) {
      check(copied->action.get() == got->action.get());
      check(copied->flags == got->flags && copied->name_only_count == got->name_only_count);
      check(std::equal(copied->full_hashes().begin(), copied->full_hashes().end(),
                       got->full_hashes().begin(), got->full_hashes().end()));
    }
  }
  return 0;
}
