#include "stores/keywordlist.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "util/cvlog.h"
#include "util/string.h"

namespace {

// Makes room for one more element, doubling the capacity as push_back would, so that the
// push_back that follows cannot throw and leave the structure half changed.
template <class V>
void reserve_one_more(V& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() < 8 ? 8 : v.size() * 2);
}

// ASCII punctuation as the C locale classifies it: every printable byte that is neither a
// letter, a digit nor the space. Fixed here so that no locale can make letters or bytes above
// 127 word boundaries.
constexpr std::array<bool, 256> make_punct_table() {
  std::array<bool, 256> t{};
  for (int c = 0x21; c < 0x7f; c++) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    t[c] = !alnum;
  }
  return t;
}
constexpr std::array<bool, 256> kPunct = make_punct_table();

// The trie of a word and the key inside it: the text after its first byte.
byte_trie* trie_of(const keywordlist* list, std::string_view text) {
  return list->tries[text.empty() ? 0 : static_cast<unsigned char>(text[0])].get();
}
std::string_view key_of(std::string_view text) { return text.empty() ? text : text.substr(1); }

std::vector<std::string> split_spaces(const char* text) {
  std::vector<std::string> out;
  std::string_view rest(text);
  for (;;) {
    const size_t sp = rest.find(' ');
    out.emplace_back(rest.substr(0, sp));
    if (sp == std::string_view::npos) break;
    rest.remove_prefix(sp + 1);
  }
  return out;
}

// Whole-word test of the word [pos, pos + len) of text[0, n).
bool passes_boundary(const keywordlist* list, const unsigned char* t, size_t n, size_t pos,
                     size_t len) {
  if (pos > 0) {
    bool ok = false;
    if (list->has_before) {
      for (const std::string& b : list->before) {
        if (b.size() <= pos && std::memcmp(t + pos - b.size(), b.data(), b.size()) == 0) {
          ok = true;
          break;
        }
      }
    } else {
      ok = kPunct[t[pos - 1]];
    }
    if (!ok) return false;
  }
  const size_t end = pos + len;
  if (end == n) return true;
  if (list->has_after) {
    for (const std::string& a : list->after) {
      if (a.size() <= n - end && std::memcmp(t + end, a.data(), a.size()) == 0) return true;
    }
    return false;
  }
  return kPunct[t[end]];
}

// ---- Per-scan phrase state --------------------------------------------------------------

struct phrase_state {
  const keywordlist_phrase* phrase;
  uint32_t remaining;  // required words not seen yet
  uint32_t seen;       // offset of this phrase's seen marks in scan_scratch::seen
  uint32_t next;       // pending chain link
  size_t anchor_end;   // end offset of the last anchor word found; 0: none
  bool disqualified;   // a forbidden word was found
  bool settled;        // completed and dealt with (result, pending or refused)
};

constexpr uint32_t kNone = UINT32_MAX;

// Scratch space of one scan, kept per thread so that scans allocate only while it grows.
// Phrase states are found by phrase number: stamp[n] == generation marks the phrase as
// touched in this scan, slot[n] its state.
struct scan_scratch {
  std::vector<uint32_t> stamp;
  std::vector<uint32_t> slot;
  // word_done[w] == generation: every phrase place of word w has been dealt with for good
  // in this scan, so its further occurrences change nothing (see phrase_scan::take).
  std::vector<uint32_t> word_done;
  std::vector<phrase_state> states;
  std::vector<uint8_t> seen;
  uint32_t generation = 0;
  bool busy = false;

  void begin(size_t phrase_count, size_t word_count) {
    states.clear();
    seen.clear();
    if (stamp.size() < phrase_count) {
      stamp.resize(phrase_count, 0);
      slot.resize(phrase_count, 0);
    }
    if (word_done.size() < word_count) word_done.resize(word_count, 0);
    if (++generation == 0) {
      std::fill(stamp.begin(), stamp.end(), 0);
      std::fill(word_done.begin(), word_done.end(), 0);
      generation = 1;
    }
  }
};

thread_local scan_scratch t_scratch;

class phrase_scan {
 public:
  phrase_scan(const keywordlist* list, const unsigned char* text, size_t n,
              keywordlist_accept_fn accept, void* arg, scan_scratch& s)
      : list_(list), t_(text), n_(n), accept_(accept), arg_(arg), s_(s) {}

  const keywordlist_entry* run() {
    s_.begin(list_->phrases.size(), list_->words.size());
    for (size_t pos = 0; pos < n_; pos++) {
      const byte_trie* trie = list_->tries[t_[pos]].get();
      if (trie == nullptr || !list_->filter.may_start(t_ + pos, n_ - pos)) continue;
      const std::string_view rest(reinterpret_cast<const char*>(t_ + pos + 1), n_ - pos - 1);
      trie->fetch_matches(rest, [&](uint32_t idx, size_t) {
        if (s_.word_done[idx] == s_.generation) return true;
        return take(list_->words[idx].get(), idx, pos);
      });
      if (result_ != nullptr) return result_;
    }
    for (uint32_t i = pending_; i != kNone; i = s_.states[i].next) {
      if (!s_.states[i].disqualified) return s_.states[i].phrase;
    }
    return fallback_;
  }

 private:
  // Handles one word (index idx) found at `pos`; false stops the scan (result_ is set).
  bool take(const keywordlist_word* w, uint32_t idx, size_t pos) {
    bool passes = true;
    if (w->word_flag != KEYWORDLIST_SUBSTRING) {
      passes = passes_boundary(list_, t_, n_, pos, w->length);
      if (!passes && w->word_flag == KEYWORDLIST_WHOLE_WORD) return true;
    }
    if (fallback_ == nullptr && w->action) fallback_ = w;
    // A word required twice by one phrase counts once: once one of its required places in a
    // phrase has been dealt with, its further places in that phrase are skipped. The places
    // of one phrase are adjacent, as a phrase stores all its words at once.
    //
    // When every place was dealt with here (none skipped for its position: inside an
    // anchor, or failing the word boundary) and none is an anchor (whose end moves with each
    // occurrence), later occurrences of the word can change nothing: they are not looked at
    // again. A word shared by 200,000 phrases and written 1,000 times in a URL would
    // otherwise cost 200 million steps.
    bool done = passes;
    const keywordlist_phrase* skip = nullptr;
    for (const keywordlist_phrase_ref& r : w->phrase_refs) {
      const keywordlist_phrase* ph = r.phrase;
      if (ph == skip || !ph->stored) continue;
      if (!passes && ph->whole_word) continue;
      const uint32_t si = state_of(ph);
      phrase_state& st = s_.states[si];
      if (pos < st.anchor_end) {
        done = false;
        continue;
      }
      switch (r.kind) {
        case KEYWORDLIST_FORBIDDEN:
          st.disqualified = true;
          break;
        case KEYWORDLIST_ANCHOR:
          st.anchor_end = pos + w->length;
          done = false;
          break;
        default: {
          skip = ph;
          uint8_t& mark = s_.seen[st.seen + r.position];
          if (!mark) {
            mark = 1;
            if (st.remaining > 0) st.remaining--;
          }
          break;
        }
      }
      if (!st.disqualified && st.remaining == 0 && !st.settled && settle(si)) return false;
    }
    if (done) s_.word_done[idx] = s_.generation;
    return true;
  }

  uint32_t state_of(const keywordlist_phrase* ph) {
    const uint32_t num = ph->number;
    if (s_.stamp[num] == s_.generation) return s_.slot[num];
    const uint32_t si = static_cast<uint32_t>(s_.states.size());
    const uint32_t seen = static_cast<uint32_t>(s_.seen.size());
    s_.seen.resize(s_.seen.size() + ph->word_count, 0);
    s_.states.push_back(phrase_state{ph, ph->required_count, seen, kNone, 0, false, false});
    s_.stamp[num] = s_.generation;
    s_.slot[num] = si;
    max_required_ = std::max(max_required_, ph->required_count);
    return si;
  }

  // A phrase has just become complete. Returns true when it is the result.
  bool settle(uint32_t si) {
    phrase_state& st = s_.states[si];
    st.settled = true;
    const keywordlist_phrase* ph = st.phrase;
    if (!ph->has_forbidden && ph->required_count == max_required_) {
      if (accept_ == nullptr || accept_(ph->action.get(), arg_)) {
        result_ = ph;
        return true;
      }
      return false;
    }
    // Pending chain: most required words first; among equals the later one first.
    uint32_t* link = &pending_;
    while (*link != kNone && s_.states[*link].phrase->required_count > ph->required_count) {
      link = &s_.states[*link].next;
    }
    st.next = *link;
    *link = si;
    return false;
  }

  const keywordlist* list_;
  const unsigned char* t_;
  size_t n_;
  keywordlist_accept_fn accept_;
  void* arg_;
  scan_scratch& s_;
  const keywordlist_entry* result_ = nullptr;
  const keywordlist_entry* fallback_ = nullptr;
  uint32_t pending_ = kNone;
  uint32_t max_required_ = 0;
};

const keywordlist_entry* keyword_scan(const keywordlist* list, const unsigned char* t, size_t n,
                                      keywordlist_accept_fn accept, void* arg) {
  for (size_t pos = 0; pos < n; pos++) {
    const byte_trie* trie = list->tries[t[pos]].get();
    if (trie == nullptr || !list->filter.may_start(t + pos, n - pos)) continue;
    const keywordlist_entry* found = nullptr;
    const std::string_view rest(reinterpret_cast<const char*>(t + pos + 1), n - pos - 1);
    trie->fetch_matches(rest, [&](uint32_t idx, size_t) {
      const keywordlist_word* w = list->words[idx].get();
      if (w->word_flag == KEYWORDLIST_WHOLE_WORD && !passes_boundary(list, t, n, pos, w->length)) {
        return true;
      }
      // Only phrase words lack an action, and they exist only in phrase mode; a phrase
      // whose adding failed before its record was made may leave some behind.
      if (!w->action) return true;
      if (accept != nullptr && !accept(w->action.get(), arg)) return true;
      found = w;
      return false;
    });
    if (found != nullptr) return found;
  }
  return nullptr;
}

int add_single_keyword(keywordlist* list, std::string_view text, urllist_action* action,
                       int whole_word) {
  // A duplicate is refused before a record (and with it a reference) is made, so that the
  // caller's action is never touched on -2.
  if (const byte_trie* trie = trie_of(list, text)) {
    const uint32_t idx = trie->find(key_of(text));
    if (idx != byte_trie::npos && list->words[idx]->action) return -2;
  }
  std::unique_ptr<keywordlist_word> w = keywordlist_new_word(list, text, action, whole_word);
  switch (keywordlist_add_word(list, w, nullptr, 0, KEYWORDLIST_REQUIRED)) {
    case KEYWORDLIST_WORD_STORED:
    case KEYWORDLIST_WORD_MERGED:
      return 0;
    case KEYWORDLIST_WORD_DUPLICATE:
      return -2;
    default:
      return -1;
  }
}

}  // namespace

// ---- Start filter ------------------------------------------------------------------------

namespace {

inline bool test_bit(const uint64_t* bits, uint32_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }
inline void set_bit(uint64_t* bits, uint32_t i) { bits[i >> 6] |= uint64_t{1} << (i & 63); }
inline uint32_t pair_of(const unsigned char* t) { return t[0] | (uint32_t{t[1]} << 8); }
inline uint32_t hash4(const unsigned char* t) {
  uint32_t x;
  std::memcpy(&x, t, 4);
  return (x * 0x9E3779B1u) >> (32 - keywordlist_start_filter::kStart4Bits);
}

}  // namespace

void keywordlist_start_filter::add(std::string_view text) {
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text.data());
  if (text.size() == 1) {
    for (uint32_t b = 0; b < 256; b++) {
      set_bit(start2.data(), t[0] | (b << 8));
      set_bit(short2.data(), t[0] | (b << 8));
    }
    return;
  }
  set_bit(start2.data(), pair_of(t));
  if (text.size() < 4) {
    set_bit(short2.data(), pair_of(t));
  } else {
    set_bit(start4.data(), hash4(t));
  }
}

bool keywordlist_start_filter::may_start(const unsigned char* t, size_t n) const {
  // Near the end of the text the pair and the 4-byte window do not fit: let the trie say.
  if (n < 2) return true;
  const uint32_t pair = pair_of(t);
  if (!test_bit(start2.data(), pair)) return false;
  if (test_bit(short2.data(), pair) || n < 4) return true;
  return test_bit(start4.data(), hash4(t));
}

// ---- Creation and release ---------------------------------------------------------------

keywordlist::~keywordlist() {
  for (auto& w : words) keywordlist_tree_free(std::move(w));
  for (auto& p : phrases) keywordlist_phrases_free(std::move(p));
}

std::unique_ptr<keywordlist> keywordlist_initialize(const char* before, const char* after,
                                                    keywordlist_release_fn release) {
  try {
    auto list = std::make_unique<keywordlist>();
    if (before != nullptr) {
      list->has_before = true;
      list->before = split_spaces(before);
    }
    if (after != nullptr) {
      list->has_after = true;
      list->after = split_spaces(after);
    }
    list->release = release;
    return list;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void keywordlist_terminate(std::unique_ptr<keywordlist> list) { list.reset(); }

void keywordlist_tree_free(std::unique_ptr<keywordlist_word> word) {
  if (word && word->action && word->list != nullptr && word->list->release != nullptr) {
    word->list->release(word->action.get());
  }
}

void keywordlist_phrases_free(std::unique_ptr<keywordlist_phrase> phrase) {
  if (phrase && phrase->action && phrase->list != nullptr && phrase->list->release != nullptr) {
    phrase->list->release(phrase->action.get());
  }
}

int keywordlist_phrases_compare(const keywordlist_phrase* a, const keywordlist_phrase* b) {
  if (a == b) return 0;
  if (a == nullptr) return -1;
  if (b == nullptr) return 1;
  return a->number < b->number ? -1 : a->number > b->number ? 1 : 0;
}

// ---- Adding -----------------------------------------------------------------------------

std::unique_ptr<keywordlist_word> keywordlist_new_word(keywordlist* list, std::string_view text,
                                                       urllist_action* action, int whole_word) {
  auto w = std::make_unique<keywordlist_word>();
  w->text.assign(text);
  w->action = urllist_action_ref(action);
  w->list = list;
  w->length = static_cast<uint32_t>(w->text.size());
  w->word_flag = whole_word ? KEYWORDLIST_WHOLE_WORD : KEYWORDLIST_SUBSTRING;
  return w;
}

keywordlist_phrase* keywordlist_new_phrase(keywordlist* list, std::string_view text,
                                           urllist_action* action, uint32_t word_count,
                                           int whole_word) {
  auto p = std::make_unique<keywordlist_phrase>();
  p->text.assign(text);
  p->list = list;
  p->whole_word = whole_word ? 1 : 0;
  p->word_count = word_count;
  p->number = static_cast<uint32_t>(list->phrases.size());
  reserve_one_more(list->phrases);
  // The reference is taken last: nothing after it can fail.
  p->action = urllist_action_ref(action);
  list->phrases.push_back(std::move(p));
  return list->phrases.back().get();
}

int keywordlist_add_word(keywordlist* list, std::unique_ptr<keywordlist_word>& word,
                         keywordlist_phrase* phrase, uint32_t position, uint8_t kind) {
  try {
    const std::string_view text = word->text;
    std::unique_ptr<byte_trie>& trie =
        list->tries[text.empty() ? 0 : static_cast<unsigned char>(text[0])];
    if (!trie) trie = std::make_unique<byte_trie>();
    const uint32_t found = trie->find(key_of(text));

    if (found == byte_trie::npos) {
      reserve_one_more(list->words);
      if (phrase != nullptr) word->phrase_refs.push_back({phrase, position, kind});
      trie->insert(key_of(text), static_cast<uint32_t>(list->words.size()));
      list->words.push_back(std::move(word));  // cannot throw after the reserve
      list->word_count++;
      if (!text.empty()) list->filter.add(text);
      if (phrase != nullptr) {
        if (kind == KEYWORDLIST_REQUIRED) phrase->required_count++;
        if (kind == KEYWORDLIST_FORBIDDEN) phrase->has_forbidden = 1;
      }
      return KEYWORDLIST_WORD_STORED;
    }

    keywordlist_word* existing = list->words[found].get();
    if (word->action && existing->action) return KEYWORDLIST_WORD_DUPLICATE;
    if (!word->action && phrase == nullptr) return KEYWORDLIST_WORD_NOTHING;
    if (phrase != nullptr) {
      // The count follows the distinct required words, whether the word is new or was
      // stored before by a keyword or another phrase; a scan lowers it once per word.
      // A word's references are in phrase order (a phrase stores all its words right after
      // it is made), so only the references at the end, of this phrase or a later one, need
      // a look: scanning them all made 200,000 phrases sharing a word cost 10 s to load.
      bool already_required = false;
      if (kind == KEYWORDLIST_REQUIRED) {
        for (auto r = existing->phrase_refs.rbegin(); r != existing->phrase_refs.rend(); ++r) {
          if (r->phrase->number < phrase->number) break;
          if (r->phrase == phrase && r->kind == KEYWORDLIST_REQUIRED) {
            already_required = true;
            break;
          }
        }
      }
      existing->phrase_refs.push_back({phrase, position, kind});
      if (kind == KEYWORDLIST_REQUIRED && !already_required) phrase->required_count++;
      if (kind == KEYWORDLIST_FORBIDDEN) phrase->has_forbidden = 1;
    }
    if (word->action) existing->action = std::move(word->action);
    if (existing->word_flag != word->word_flag) existing->word_flag = KEYWORDLIST_BOTH;
    return KEYWORDLIST_WORD_MERGED;
  } catch (const std::bad_alloc&) {
    return KEYWORDLIST_WORD_NO_MEMORY;
  }
}

int keywordlist_add_keyword(keywordlist* list, const char* text, urllist_action* action,
                            int whole_word, int phrase) {
  if (list == nullptr || text == nullptr || action == nullptr) return -3;
  try {
    std::string low(text);
    string_lowercase_url(low.data());
    // "%00" decodes to a NUL, which ends the text as it ends the scanned URL text.
    low.resize(std::strlen(low.c_str()));

    if (!phrase || low.find('+') == std::string::npos) {
      return add_single_keyword(list, low, action, whole_word);
    }
    std::vector<std::string_view> pieces;
    std::string_view rest(low);
    for (;;) {
      const size_t plus = rest.find('+');
      const std::string_view piece = rest.substr(0, plus);
      if (!piece.empty()) pieces.push_back(piece);
      if (plus == std::string_view::npos) break;
      rest.remove_prefix(plus + 1);
    }
    if (pieces.empty()) return -3;
    if (pieces.size() == 1) return add_single_keyword(list, pieces[0], action, whole_word);

    keywordlist_phrase* ph =
        keywordlist_new_phrase(list, low, action, static_cast<uint32_t>(pieces.size()), whole_word);
    for (uint32_t i = 0; i < pieces.size(); i++) {
      std::string_view w = pieces[i];
      uint8_t kind = KEYWORDLIST_REQUIRED;
      if (w[0] == '!') {
        kind = KEYWORDLIST_FORBIDDEN;
        w.remove_prefix(1);
      } else if (w[0] == '^') {
        kind = KEYWORDLIST_ANCHOR;
        w.remove_prefix(1);
      }
      std::unique_ptr<keywordlist_word> rec = keywordlist_new_word(list, w, nullptr, whole_word);
      if (keywordlist_add_word(list, rec, ph, i, kind) == KEYWORDLIST_WORD_NO_MEMORY) return -1;
    }
    ph->stored = true;
    return 0;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int keywordlist_add_entry(std::unique_ptr<keywordlist>& slot, const char* text,
                          urllist_action* action, const char* type_word) {
  if (!slot) {
    slot = keywordlist_initialize(nullptr, nullptr, nullptr);
    if (!slot) return -2;
  }
  const char letter = (type_word != nullptr && type_word[0] != '\0') ? type_word[0] : 'K';
  const int whole_word = letter == 'W' || letter == 'w';
  const int phrase = letter == 'k' || letter == 'w';
  switch (keywordlist_add_keyword(slot.get(), text, action, whole_word, phrase)) {
    case 0:
      return 0;
    case -2:
      cvlog_send(CVLOG_ERROR, "urllist_add: Duplicate keyword entry '%s'\n", text);
      return -10;
    case -1:
      return -2;
    default:
      return -8;
  }
}

// ---- Lookup -----------------------------------------------------------------------------

const keywordlist_entry* keywordlist_lookup(const keywordlist* list, const char* text,
                                            keywordlist_accept_fn accept, void* arg) {
  if (list == nullptr || text == nullptr || text[0] == '\0' || list->word_count == 0) {
    return nullptr;
  }
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
  const size_t n = std::strlen(text);
  // Out of memory for the scan's scratch space throws: "no keyword" would be a wrong answer.
  {
    if (list->phrases.empty()) return keyword_scan(list, t, n, accept, arg);
    // An accept callback may itself look something up on this thread; that inner scan
    // gets scratch space of its own.
    if (t_scratch.busy) {
      scan_scratch local;
      return phrase_scan(list, t, n, accept, arg, local).run();
    }
    t_scratch.busy = true;
    struct release_guard {
      ~release_guard() { t_scratch.busy = false; }
    } guard;
    return phrase_scan(list, t, n, accept, arg, t_scratch).run();
  }
}
