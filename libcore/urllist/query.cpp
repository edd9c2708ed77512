#include "urllist/query.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

// The query state cached on an exploded URL. Arrays hold the full hashes of the parameters in
// [0, count) and their name hashes in [count, 2 * count).
struct urllist_query_state {
  // The URL's parameter multiset of one case mode: its hashes sorted, and marks per member:
  // kTaken while one candidate with repeated parameters is judged, kVisited (on the first
  // member of a hash) once the candidate list of that hash was judged during this lookup.
  struct multiset {
    static constexpr uint8_t kTaken = 1;
    static constexpr uint8_t kVisited = 2;
    std::vector<urllist_hash_value> values;
    std::vector<uint8_t> marks;
    int add_mode = -1;  // -1: not built; else the add mode it was built for
  };

  bool split = false;  // the query text has been split in place (it cannot be split twice)
  uint32_t count = 0;
  std::unique_ptr<char*[]> params;  // null-terminated, null when count is 0
  std::vector<urllist_hash_value> hashes;
  std::vector<const char*> nocase_params;  // null-terminated once built
  std::vector<urllist_hash_value> nocase_hashes;
  multiset sets[2];
  std::vector<uint32_t> scratch;  // indexes of the members taken out

  std::span<const urllist_hash_value> full(int case_mode) const {
    const auto& h = (case_mode & 1) ? nocase_hashes : hashes;
    return {h.data(), count};
  }
  std::span<const urllist_hash_value> name(int case_mode) const {
    const auto& h = (case_mode & 1) ? nocase_hashes : hashes;
    return {h.data() + count, count};
  }
  const char* const* texts(int case_mode) const {
    return (case_mode & 1) ? nocase_params.data() : params.get();
  }
  void drop_multisets() {
    for (multiset& m : sets) m = multiset();
    scratch = std::vector<uint32_t>();
  }
};

namespace {

bool is_separator(char c) { return c == '?' || c == '&' || c == '#'; }

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

void release_state(urllist_query_state* state) noexcept {
  std::default_delete<urllist_query_state>()(state);
}

// Entry side: a parameter with a value hashes its whole text and its name; one without (no
// "=" or nothing after it) hashes its name into both.
void hash_entry_parameter(const char* text, urllist_hash_value* full, urllist_hash_value* name) {
  const size_t len = std::strlen(text);
  const char* eq = static_cast<const char*>(std::memchr(text, '=', len));
  if (eq != nullptr && eq[1] != '\0') {
    urllist_hash(text, len, full);
    urllist_hash(text, static_cast<size_t>(eq - text), name);
  } else {
    urllist_hash(text, eq ? static_cast<size_t>(eq - text) : len, name);
    *full = *name;
  }
}

// URL side: the full hash is over the whole text, a trailing "=" included.
void hash_url_parameter(const char* text, size_t len, urllist_hash_value* full,
                        urllist_hash_value* name) {
  const char* eq = static_cast<const char*>(std::memchr(text, '=', len));
  urllist_hash(text, len, full);
  urllist_hash(text, eq ? static_cast<size_t>(eq - text) : len, name);
}

urllist_query_state* query_state_of(urllist_exploded_url* url) {
  if (!url->query_state) {
    url->query_state = urllist_query_state_ptr(std::make_unique<urllist_query_state>().release(),
                                               {&release_state});
  }
  return url->query_state.get();
}

// Splits the URL's query in place and hashes its parameters as written. Returns false when
// memory runs out; on success state->count may be 0 (no query, or nothing but separators).
bool prepare_sensitive(urllist_exploded_url* url, urllist_query_state* state) {
  if (!state->split) {
    if (url->query_part != nullptr) {
      char* text = urllist_part_mutable_text(url, url->query_part);
      if (text == nullptr) return false;
      // The parse leaves the count untouched only when memory runs out, and changes the
      // text only once it has its array, so a failed split can be tried again.
      constexpr uint32_t kUntouched = UINT32_MAX;
      uint32_t n = kUntouched;
      auto params = urllist_query_parse(text, &n);
      if (n == kUntouched) return false;
      state->params = std::move(params);
      state->count = state->params ? n : 0;
    }
    state->split = true;
  }
  if (state->hashes.size() != 2 * static_cast<size_t>(state->count)) {
    std::vector<urllist_hash_value> h(2 * static_cast<size_t>(state->count));
    for (uint32_t i = 0; i < state->count; ++i) {
      const char* p = state->params[i];
      hash_url_parameter(p, std::strlen(p), &h[i], &h[state->count + i]);
    }
    state->hashes = std::move(h);
  }
  return true;
}

// Lowercases the parameters into the URL's shadow copy and hashes them. Returns false when
// memory runs out.
bool prepare_nocase(urllist_exploded_url* url, urllist_query_state* state) {
  if (!prepare_sensitive(url, state)) return false;
  if (state->nocase_params.size() == static_cast<size_t>(state->count) + 1) return true;
  if (state->count == 0) return true;
  char* shadow = urllist_get_nocase_shadow(url);
  if (shadow == nullptr) return false;
  std::vector<const char*> texts(static_cast<size_t>(state->count) + 1, nullptr);
  std::vector<urllist_hash_value> h(2 * static_cast<size_t>(state->count));
  for (uint32_t i = 0; i < state->count; ++i) {
    const char* p = state->params[i];
    const size_t off = static_cast<size_t>(p - url->working);
    const size_t len = std::strlen(p);
    char* out = shadow + off;
    for (size_t k = 0; k < len; ++k) out[k] = lower_ascii(p[k]);
    // The shadow may already hold the whole query lowercased, separators included.
    out[len] = '\0';
    texts[i] = out;
    hash_url_parameter(out, len, &h[i], &h[state->count + i]);
  }
  state->nocase_hashes = std::move(h);
  state->nocase_params = std::move(texts);
  return true;
}

bool prepare(urllist_exploded_url* url, urllist_query_state* state, int case_mode) {
  return (case_mode & 1) ? prepare_nocase(url, state) : prepare_sensitive(url, state);
}

void build_multiset(urllist_query_state::multiset* set, std::span<const urllist_hash_value> full,
                    std::span<const urllist_hash_value> name, int add_mode) {
  std::vector<urllist_hash_value> values(full.begin(), full.end());
  if (!add_mode) values.insert(values.end(), name.begin(), name.end());
  std::sort(values.begin(), values.end());
  std::vector<uint8_t> marks(values.size(), 0);
  set->values = std::move(values);
  set->marks = std::move(marks);
  set->add_mode = add_mode;
}

bool usable(const urllist_query_item* item) {
  const urllist_action* action = item->action.get();
  if (action == nullptr) return false;
  return !(action->expiry > 0 && action->expiry <= current_time);
}

// True when every full hash of the candidate is in the multiset; a candidate with repeated
// parameters takes one member out per parameter, and the members go back afterwards.
bool candidate_matches(const urllist_query_item* item, urllist_query_state::multiset* set,
                       std::vector<uint32_t>* scratch) {
  const auto& values = set->values;
  if (!(item->flags & URLLIST_QUERY_REPEATED)) {
    for (urllist_hash_value h : item->full_hashes()) {
      if (!std::binary_search(values.begin(), values.end(), h)) return false;
    }
    return true;
  }
  // Every member is taken out at most once per candidate: with room for all of them, taking
  // out cannot fail halfway (the reservation throws before any member is marked).
  if (scratch->capacity() < values.size()) scratch->reserve(values.size());
  scratch->clear();
  bool ok = true;
  for (urllist_hash_value h : item->full_hashes()) {
    size_t i =
        static_cast<size_t>(std::lower_bound(values.begin(), values.end(), h) - values.begin());
    while (i < values.size() && values[i] == h && (set->marks[i] & set->kTaken)) ++i;
    if (i == values.size() || values[i] != h) {
      ok = false;
      break;
    }
    set->marks[i] |= set->kTaken;
    scratch->push_back(static_cast<uint32_t>(i));  // within the reserved capacity
  }
  for (uint32_t i : *scratch) set->marks[i] &= static_cast<uint8_t>(~set->kTaken);
  return ok;
}

const std::vector<urllist_query_item*>* find_list(const urllist_query_tree* tree,
                                                  urllist_hash_value hash) {
  return tree->index.find(hash);
}

const urllist_query_item* match(urllist_query_state* state, const urllist_query_tree* tree,
                                int case_mode, int add_mode) {
  const auto full = state->full(case_mode);
  const auto name = state->name(case_mode);
  urllist_query_state::multiset* set = &state->sets[case_mode & 1];
  // A candidate's verdict depends on the URL alone, so a list judged once in this lookup is
  // not judged again (a URL repeating a parameter, or many values of one name, would otherwise
  // rescan the same lists), and an item standing twice in a row in a list is judged once.
  bool visited_any = false;
  auto first_visit = [&](urllist_hash_value h) {
    const auto& v = set->values;
    const size_t i = static_cast<size_t>(std::lower_bound(v.begin(), v.end(), h) - v.begin());
    if (i == v.size() || v[i] != h) return true;  // a name hash in add mode: not a member
    if (set->marks[i] & set->kVisited) return false;
    set->marks[i] |= set->kVisited;
    visited_any = true;
    return true;
  };
  auto check = [&](urllist_hash_value h, const std::vector<urllist_query_item*>& list) {
    const urllist_query_item* previous = nullptr;
    if (!first_visit(h)) return previous;
    for (const urllist_query_item* c : list) {
      if (c == previous) continue;
      previous = c;
      if (candidate_matches(c, set, &state->scratch) && usable(c)) return c;
    }
    return static_cast<const urllist_query_item*>(nullptr);
  };
  const urllist_query_item* found = nullptr;
  for (uint32_t i = 0; i < state->count && found == nullptr; ++i) {
    urllist_hash_value h = full[i];
    bool by_name = false;
    const auto* list = find_list(tree, h);
    if (list == nullptr) {
      // A parameter without "=" has equal hashes: its name list is the list just missed.
      if (name[i] == full[i]) continue;
      h = name[i];
      list = find_list(tree, h);
      if (list == nullptr) continue;
      by_name = true;
    }
    if (set->add_mode != add_mode) build_multiset(set, full, name, add_mode);
    found = check(h, *list);
    if (found == nullptr && !by_name && name[i] != full[i]) {
      if (const auto* by_name_list = find_list(tree, name[i]))
        found = check(name[i], *by_name_list);
    }
  }
  if (visited_any) {
    for (uint8_t& m : set->marks) m &= static_cast<uint8_t>(~set->kVisited);
  }
  return found;
}

// Candidate order: more parameters first, then fewer parameters without a value.
bool ranks_before(const urllist_query_item* a, const urllist_query_item* b) {
  if (a->count != b->count) return a->count > b->count;
  return a->name_only_count < b->name_only_count;
}

// The item of `tree` with the same parameters as `item`: as many, with the same full hashes
// counted with their repetitions. Only the shortest candidate list of the item's hashes needs
// looking at, since an equal item stands in all of them.
urllist_query_item* find_equal(const urllist_query_tree& tree, const urllist_query_item& item) {
  const std::vector<urllist_query_item*>* shortest = nullptr;
  for (urllist_hash_value h : item.full_hashes()) {
    const auto* list = find_list(&tree, h);
    if (list == nullptr) return nullptr;
    if (shortest == nullptr || list->size() < shortest->size()) shortest = list;
  }
  if (shortest == nullptr) return nullptr;
  std::vector<urllist_hash_value> mine(item.full_hashes().begin(), item.full_hashes().end());
  std::sort(mine.begin(), mine.end());
  std::vector<urllist_hash_value> theirs;
  const urllist_query_item* last = nullptr;
  for (urllist_query_item* c : *shortest) {
    if (c == last || c->count != item.count) continue;  // repeated entries stand side by side
    last = c;
    theirs.assign(c->full_hashes().begin(), c->full_hashes().end());
    std::sort(theirs.begin(), theirs.end());
    if (theirs == mine) return c;
  }
  return nullptr;
}

// Puts `item` into the node's tree of its case mode (made when missing), unless an equal item
// is there already. Returns the item that represents the query. Throws std::bad_alloc before
// changing anything; a candidate list that cannot take the item is left without it.
urllist_query_item* insert_item(urllist_query_trees* trees,
                                std::unique_ptr<urllist_query_item> item, bool nocase) {
  std::unique_ptr<urllist_query_tree_pair> new_pair;
  urllist_query_tree_pair* pair = trees->pair.get();
  if (pair == nullptr) {
    new_pair = std::make_unique<urllist_query_tree_pair>();
    pair = new_pair.get();
  }
  std::unique_ptr<urllist_query_tree>& slot = nocase ? pair->nocase : pair->sensitive;
  std::unique_ptr<urllist_query_tree> new_tree;
  urllist_query_tree* tree = slot.get();
  if (tree == nullptr) {
    new_tree = std::make_unique<urllist_query_tree>();
    tree = new_tree.get();
  } else if (urllist_query_item* equal = find_equal(*tree, *item)) {
    return equal;
  }
  if (tree->items.size() == tree->items.capacity()) {
    tree->items.reserve(std::max<size_t>(4, 2 * tree->items.capacity()));
  }
  urllist_query_item* raw = item.get();
  for (urllist_hash_value h : raw->full_hashes()) {
    // A list that cannot take the item for lack of memory simply lacks it.
    try {
      tree->index.add(h, raw);
    } catch (const std::bad_alloc&) {
    }
  }
  tree->items.push_back(std::move(item));  // capacity reserved above
  if (new_tree) slot = std::move(new_tree);
  if (new_pair) trees->pair = std::move(new_pair);
  return raw;
}

}  // namespace

size_t urllist_query_index::home(urllist_hash_value hash) const {
  // Fibonacci hashing: list entries may carry any 64-bit value (a hashed entry's text that is
  // no hash text gives 0 or a few bytes), so spread it before taking the top bits.
  const int shift = 64 - std::countr_zero(slots_.size());
  return shift >= 64 ? 0 : static_cast<size_t>((hash * 0x9e3779b97f4a7c15ULL) >> shift);
}

const urllist_query_index::list* urllist_query_index::find(urllist_hash_value hash) const {
  if (slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = home(hash);; i = (i + 1) & mask) {
    const slot& s = slots_[i];
    if (s.list == 0) return nullptr;
    if (s.key == hash) return &lists_[s.list - 1];
  }
}

void urllist_query_index::add(urllist_hash_value hash, urllist_query_item* item) {
  if (const list* found = find(hash)) {
    list& l = lists_[static_cast<size_t>(found - lists_.data())];
    l.insert(std::upper_bound(l.begin(), l.end(), item, ranks_before), item);
    return;
  }
  // A new list. Everything that can throw comes before the first change.
  if (lists_.size() == lists_.capacity()) lists_.reserve(std::max<size_t>(4, 2 * lists_.size()));
  if (2 * (lists_.size() + 1) > slots_.size()) {
    std::vector<slot> grown(std::max<size_t>(8, 2 * slots_.size()), slot{0, 0});
    std::vector<slot> old = std::exchange(slots_, std::move(grown));
    const size_t mask = slots_.size() - 1;
    for (const slot& s : old) {
      if (s.list == 0) continue;
      size_t i = home(s.key);
      while (slots_[i].list != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }
  list fresh{item};
  lists_.push_back(std::move(fresh));  // within the reserved capacity
  const size_t mask = slots_.size() - 1;
  size_t i = home(hash);
  while (slots_[i].list != 0) i = (i + 1) & mask;
  slots_[i] = slot{hash, static_cast<uint32_t>(lists_.size())};
}

int urllist_query_cmp(urllist_hash_value a, urllist_hash_value b) {
  const auto sa = static_cast<int64_t>(a);
  const auto sb = static_cast<int64_t>(b);
  return sa < sb ? -1 : (sa > sb ? 1 : 0);
}

int urllist_query_item_compare(const urllist_query_item*, const urllist_query_item*) { return 0; }

std::unique_ptr<char* []> urllist_query_parse(char* text, uint32_t* count) {
  if (text == nullptr || *text == '\0') {
    *count = 0;
    return nullptr;
  }
  // First pass counts, so that the text is changed only once the array exists.
  uint32_t pieces = 0;
  uint32_t separators = 0;
  bool in_piece = false;
  for (const char* p = text; *p; ++p) {
    if (separators < URLLIST_QUERY_MAX_PIECES - 1 && is_separator(*p)) {
      ++separators;
      in_piece = false;
    } else if (!in_piece) {
      ++pieces;
      in_piece = true;
    }
  }
  if (pieces == 0) {
    for (char* p = text; *p; ++p) *p = '\0';
    *count = 0;
    return nullptr;
  }
  std::unique_ptr<char*[]> out;
  try {
    out = std::make_unique<char*[]>(static_cast<size_t>(pieces) + 1);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  uint32_t n = 0;
  separators = 0;
  in_piece = false;
  for (char* p = text; *p; ++p) {
    if (separators < URLLIST_QUERY_MAX_PIECES - 1 && is_separator(*p)) {
      ++separators;
      *p = '\0';
      in_piece = false;
    } else if (!in_piece) {
      out[n++] = p;
      in_piece = true;
    }
  }
  out[n] = nullptr;
  *count = n;
  return out;
}

std::unique_ptr<urllist_query_item> urllist_new_urllist_query_item(std::string_view text,
                                                                   int flags) {
  if (const void* nul = text.empty() ? nullptr : std::memchr(text.data(), '\0', text.size())) {
    text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
  }
  if (text.empty()) return nullptr;
  try {
    const bool hashed = (flags & EXPLODE_HASHED) != 0;
    std::string copy(text);
    if ((flags & EXPLODE_NOCASE) && !hashed) {
      for (char& c : copy) c = lower_ascii(c);
    }
    uint32_t n = 0;
    auto pieces = urllist_query_parse(copy.data(), &n);
    if (pieces == nullptr) return nullptr;

    auto item = std::make_unique<urllist_query_item>();
    item->count = n;
    if (hashed) item->flags |= URLLIST_QUERY_HASHED;
    {
      std::vector<std::string_view> sorted(pieces.get(), pieces.get() + n);
      std::sort(sorted.begin(), sorted.end());
      if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        item->flags |= URLLIST_QUERY_REPEATED;
      }
    }
    item->hashes = std::make_unique<urllist_hash_value[]>(hashed ? n : 2 * static_cast<size_t>(n));
    for (uint32_t i = 0; i < n; ++i) {
      if (hashed) {
        urllist_str2hash(pieces[i], std::strlen(pieces[i]), &item->hashes[i]);
      } else {
        urllist_hash_value& full = item->hashes[i];
        urllist_hash_value& name = item->hashes[n + i];
        hash_entry_parameter(pieces[i], &full, &name);
        if (full == name) ++item->name_only_count;
      }
    }
    return item;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void urllist_terminate_query_item(urllist_query_item* item) {
  std::default_delete<urllist_query_item>()(item);
}

std::unique_ptr<urllist_query_tree> urllist_new_urllist_query_tree() {
  try {
    return std::make_unique<urllist_query_tree>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void urllist_terminate_query_tree(urllist_query_tree* tree) {
  std::default_delete<urllist_query_tree>()(tree);
}

void urllist_terminate_query_trees(urllist_query_trees* trees) {
  if (trees != nullptr) trees->pair.reset();
}

urllist_query_item* urllist_query_add(const urllist_exploded_url* entry,
                                      std::string_view query_text, urllist_query_trees* trees,
                                      int flags) {
  if (trees == nullptr) return nullptr;
  auto item = urllist_new_urllist_query_item(query_text, flags);
  if (!item) return nullptr;
  if (entry != nullptr && entry->fragment != nullptr) item->flags |= URLLIST_QUERY_FRAGMENT;
  const bool nocase = (flags & EXPLODE_NOCASE) != 0;
  if (nocase) item->flags |= URLLIST_QUERY_NOCASE;
  try {
    return insert_item(trees, std::move(item), nocase);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int urllist_clone_urllist_item_query(const urllist_query_trees& source,
                                     urllist_query_trees* destination) {
  if (destination == nullptr) return -1;
  try {
    for (int mode = 0; mode < 2; ++mode) {
      const urllist_query_tree* tree = source.tree(mode);
      if (tree == nullptr) continue;
      for (const auto& from : tree->items) {
        auto copy = std::make_unique<urllist_query_item>();
        copy->flags = from->flags;
        copy->name_only_count = from->name_only_count;
        copy->count = from->count;
        const size_t n = (from->flags & URLLIST_QUERY_HASHED) ? from->count : 2 * from->count;
        copy->hashes = std::make_unique<urllist_hash_value[]>(n);
        std::copy_n(from->hashes.get(), n, copy->hashes.get());
        // An equal item already at the destination takes the source's action, as a later
        // entry for the same query would.
        insert_item(destination, std::move(copy), mode == 1)->action = from->action;
      }
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

const urllist_query_item* urllist_query_lookup(urllist_exploded_url* url,
                                               const urllist_query_tree* tree, int case_mode,
                                               int add_mode) {
  if (url == nullptr || tree == nullptr || tree->index.empty()) return nullptr;
  urllist_query_state* state = nullptr;
  try {
    state = query_state_of(url);
    if (!prepare(url, state, case_mode) || state->count == 0) return nullptr;
    return match(state, tree, case_mode, add_mode ? 1 : 0);
  } catch (const std::bad_alloc&) {
    if (state != nullptr) state->drop_multisets();
    return nullptr;
  }
}

const urllist_query_item* urllist_query_lookup_node(urllist_exploded_url* url,
                                                    const urllist_query_trees& trees,
                                                    int* case_mode) {
  if (trees.empty() || url == nullptr || url->query_part == nullptr) return nullptr;
  for (int mode = 0; mode < 2; ++mode) {
    if (const urllist_query_tree* tree = trees.tree(mode)) {
      if (const urllist_query_item* found = urllist_query_lookup(url, tree, mode)) {
        if (case_mode != nullptr) *case_mode = mode;
        return found;
      }
    }
  }
  return nullptr;
}

const char* const* urllist_get_nocase_query_list(urllist_exploded_url* url) {
  if (url == nullptr) return nullptr;
  try {
    urllist_query_state* state = query_state_of(url);
    if (!prepare_nocase(url, state) || state->count == 0) return nullptr;
    return state->nocase_params.data();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const char* const* urllist_get_query_list(urllist_exploded_url* url, uint32_t* count) {
  if (url == nullptr) return nullptr;
  try {
    urllist_query_state* state = query_state_of(url);
    if (!prepare_sensitive(url, state) || state->count == 0) return nullptr;
    if (count != nullptr) *count = state->count;
    return state->params.get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int urllist_query_append_diag(urllist_exploded_url* url, const urllist_query_item* item,
                              int case_mode, std::string* out) {
  if (url == nullptr || item == nullptr || out == nullptr) return -1;
  try {
    urllist_query_state* state = query_state_of(url);
    if (!prepare(url, state, case_mode)) return -1;
    const uint32_t n = state->count;
    const auto full = state->full(case_mode);
    const auto name = state->name(case_mode);
    const char* const* texts = state->texts(case_mode);
    const bool repeated = (item->flags & URLLIST_QUERY_REPEATED) != 0;
    // Members of the URL's multiset already given to an earlier parameter of the entry.
    std::vector<uint8_t> used_full(repeated ? n : 0, 0);
    std::vector<uint8_t> used_name(repeated ? n : 0, 0);
    const auto entry_hashes = item->full_hashes();
    for (size_t k = 0; k < entry_hashes.size(); ++k) {
      const urllist_hash_value h = entry_hashes[k];
      if (k + 1 == entry_hashes.size() && (item->flags & URLLIST_QUERY_FRAGMENT)) {
        *out += '#';
      } else {
        *out += k == 0 ? '?' : '&';
      }
      if (h == URLLIST_HASH_STAR) {
        *out += '*';
        continue;
      }
      bool written = false;
      for (uint32_t j = 0; j < n && !written; ++j) {
        if (full[j] == h && !(repeated && used_full[j])) {
          if (repeated) used_full[j] = 1;
          *out += texts[j];
          written = true;
        }
      }
      for (uint32_t j = 0; j < n && !written; ++j) {
        if (name[j] == h && !(repeated && used_name[j])) {
          if (repeated) used_name[j] = 1;
          const char* eq = std::strchr(texts[j], '=');
          out->append(texts[j], eq ? static_cast<size_t>(eq - texts[j]) : std::strlen(texts[j]));
          *out += '=';
          written = true;
        }
      }
      if (!written) *out += urllist_hash2str(h);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}
