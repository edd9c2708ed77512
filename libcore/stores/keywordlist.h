#pragma once
// Keyword lists: the store for keyword and phrase entries of a URL list.
//
// A keyword entry matches every URL whose lower-cased text contains the keyword, anywhere
// (substring keyword) or between punctuation (whole-word keyword). A phrase entry joins
// words with "+" and matches when all its required words occur, in any order; a word written
// "!word" must not occur, and a word written "^word" is an anchor: once found, the phrase's
// words that start inside it are not counted (so "sex+^sussex" is not satisfied by "sussex").
//
// Storage. Every distinct word text has one word record, shared by the keyword entry of that
// text and by every phrase that uses it; the record carries the keyword's action (or none)
// and one reference per phrase position. Records are found through 256 byte tries, one per
// first byte, which give every stored word that starts at a text position in one walk.
//
// Scanning. In keyword mode (no phrase was ever added) the first word found, leftmost and
// longest at that position, is the result. In phrase mode the whole text is scanned: a
// complete phrase beats any keyword, more required words beat fewer, and a forbidden word
// anywhere in the text cancels its phrase; the first keyword found is the fallback.
//
// Actions. Word and phrase records hold counted references (urllist_action_ref) to their
// actions; the list drops them when it is released, which releases every action that no one
// else holds. The optional release callback is told of each action just before that.
//
// Thread safety. keywordlist_lookup only reads the list and keeps its per-scan state in
// thread-local scratch space, so lookups may run on several threads at once; adding needs
// exclusive access (the URL list's write lock).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "records/action.h"
#include "stores/byte_trie.h"

struct keywordlist;
struct keywordlist_phrase;

// Word flag of a word record.
enum keywordlist_word_flag : uint16_t {
  KEYWORDLIST_SUBSTRING = 0,
  KEYWORDLIST_WHOLE_WORD = 1,
  KEYWORDLIST_BOTH = 2,  // the same text was added once as substring and once as whole word
};

// Kind of a word's place in a phrase.
enum keywordlist_word_kind : uint8_t {
  KEYWORDLIST_REQUIRED = 0,
  KEYWORDLIST_FORBIDDEN = 1,  // written "!word"
  KEYWORDLIST_ANCHOR = 2,     // written "^word"
};

// Results of keywordlist_add_word.
enum keywordlist_add_word_result : int {
  KEYWORDLIST_WORD_STORED = 0,
  KEYWORDLIST_WORD_NO_MEMORY = 1,
  KEYWORDLIST_WORD_MERGED = 2,     // merged into the existing record; the caller keeps the new
  KEYWORDLIST_WORD_DUPLICATE = 3,  // the existing record already has an action
  KEYWORDLIST_WORD_NOTHING = 4,    // existing text, and the new record has no action or phrase
};

// The head shared by word and phrase records: what a lookup reports. `text` is the keyword,
// or the phrase's lower-cased entry text ("free+games+!demo"); the lookup's diagnostic text
// shows it.
struct keywordlist_entry {
  std::string text;
  urllist_action_ref action;  // empty for a word that only occurs in phrases
};

// One place of a word in a phrase.
struct keywordlist_phrase_ref {
  keywordlist_phrase* phrase = nullptr;
  uint32_t position = 0;  // word position in the phrase, 0-based
  uint8_t kind = KEYWORDLIST_REQUIRED;
};

// One per distinct word text.
struct keywordlist_word : keywordlist_entry {
  keywordlist* list = nullptr;  // the list the record was made for
  uint32_t length = 0;          // text.size()
  uint16_t word_flag = KEYWORDLIST_SUBSTRING;
  std::vector<keywordlist_phrase_ref> phrase_refs;  // in the order the phrases were added

  uint32_t phrase_ref_count() const { return static_cast<uint32_t>(phrase_refs.size()); }
};

// One per phrase entry. The per-scan state (remaining count, anchor, seen marks,
// disqualification) lives in the scan, never here: scans do not change stored records.
struct keywordlist_phrase : keywordlist_entry {
  keywordlist* list = nullptr;
  uint8_t whole_word = 0;       // entered with type "w": its words must pass the boundary test
  uint8_t has_forbidden = 0;    // some position holds a forbidden word
  uint32_t word_count = 0;      // positions (non-empty pieces of the entry)
  uint32_t required_count = 0;  // distinct required words
  uint32_t number = 0;          // identity: index in the list's phrase vector
  // Set once every word of the phrase is stored. A phrase whose adding failed half way keeps
  // its stored words (and its action) but never matches: with words missing it would match
  // on a part of the phrase.
  bool stored = false;
};

// Told of each action (non-null) that the list is about to drop. It must not release the
// action: the reference the list drops does that when it is the last one.
using keywordlist_release_fn = void (*)(urllist_action* action);

// Asked about a candidate result of a lookup; nonzero accepts it, 0 continues the scan.
using keywordlist_accept_fn = int (*)(const urllist_action* action, void* arg);

// A quick, conservative test of whether any stored word can start at a text position, so
// that a scan walks a trie only where a word may begin. It never says no where a word
// starts; a yes may be wrong (hash collisions), which costs only a walk. 48 KiB.
//   start2: first two bytes of a word of 2 bytes or more; for a 1-byte word every pair
//           beginning with its byte.
//   short2: the same pairs for words of 1 to 3 bytes, which the 4-byte test cannot see.
//   start4: hash of the first four bytes of a word of 4 bytes or more.
struct keywordlist_start_filter {
  static constexpr int kStart4Bits = 18;
  std::array<uint64_t, 65536 / 64> start2{};
  std::array<uint64_t, 65536 / 64> short2{};
  std::array<uint64_t, (1u << kStart4Bits) / 64> start4{};

  // Records the word `text` (non-empty).
  void add(std::string_view text);
  // False only when no stored word starts at t[0] (n >= 1 bytes available).
  bool may_start(const unsigned char* t, size_t n) const;
};

struct keywordlist {
  keywordlist() = default;
  keywordlist(const keywordlist&) = delete;
  keywordlist& operator=(const keywordlist&) = delete;
  // Hands every action to the release callback and drops the list's references
  // (keywordlist_tree_free and keywordlist_phrases_free on every record).
  ~keywordlist();

  // One trie per first byte of the word texts, created on first use. Each maps the text
  // after its first byte to an index into `words` (the empty text sits on the root of
  // trie 0, where no scan ever looks).
  std::array<std::unique_ptr<byte_trie>, 256> tries;
  std::vector<std::unique_ptr<keywordlist_word>> words;
  uint32_t word_count = 0;          // words.size(); 0 matches nothing
  keywordlist_start_filter filter;  // every stored non-empty word

  // Boundary strings; `has_before` / `has_after` tell a given empty list ("": one empty
  // string, which every position ends with) from none (punctuation decides).
  bool has_before = false;
  bool has_after = false;
  std::vector<std::string> before;
  std::vector<std::string> after;

  keywordlist_release_fn release = nullptr;

  // Every phrase, in the order added; non-empty switches the scan to phrase mode.
  std::vector<std::unique_ptr<keywordlist_phrase>> phrases;
};

// ---- Creation and release -------------------------------------------------------------

// An empty list, or null when memory runs out. `before` and `after` are optional
// space-separated lists of texts (copied); when given, a whole word must be preceded by one
// of the before texts (or start the text) and followed by one of the after texts (or end
// it), instead of by punctuation. The URL list passes none of the three.
std::unique_ptr<keywordlist> keywordlist_initialize(const char* before, const char* after,
                                                    keywordlist_release_fn release);

// Releases the list; null is accepted. Same as resetting the unique_ptr.
void keywordlist_terminate(std::unique_ptr<keywordlist> list);

// Release of one word record: hands its action to the record's list's release callback and
// drops the reference; the text and phrase references go with the record. Null is accepted.
void keywordlist_tree_free(std::unique_ptr<keywordlist_word> word);

// Release of one phrase record, likewise. Null is accepted.
void keywordlist_phrases_free(std::unique_ptr<keywordlist_phrase> phrase);

// Orders phrases by identity (creation order): <0, 0 or >0. Nulls sort first. The scan
// indexes its per-scan states by phrase number, which is this order.
int keywordlist_phrases_compare(const keywordlist_phrase* a, const keywordlist_phrase* b);

// ---- Adding -----------------------------------------------------------------------------

// Adds a keyword or phrase entry. `text` is the entry text as written; it is lower-cased
// with string_lowercase_url (percent escapes decoded, spaces to "+") and ends at the first
// NUL that produces. With `phrase` set and a "+" in the text, the text is split at "+":
// each non-empty piece is a word of the phrase ("!" forbidden, "^" anchor); a single
// non-empty piece is stored as a plain keyword. Otherwise the whole text is one keyword.
// On 0 the list holds a reference to `action`. Results:
//    0 stored (or merged into an existing word record);
//   -1 memory exhausted (a phrase may stay partly stored, never matching);
//   -2 duplicate: the keyword already has an action; nothing stored and no reference taken;
//   -3 null list, text or action, or with `phrase` a text made only of "+".
int keywordlist_add_keyword(keywordlist* list, const char* text, urllist_action* action,
                            int whole_word, int phrase);

// A new word record for the (already lower-cased) `text`, holding a reference to `action`
// (which may be null). Throws std::bad_alloc.
std::unique_ptr<keywordlist_word> keywordlist_new_word(keywordlist* list, std::string_view text,
                                                       urllist_action* action, int whole_word);

// A new phrase record for the lower-cased entry text, appended to the list's phrases at once
// (the list owns it; the pointer stays valid as long as the list). Its counts start at 0 and
// grow as its words are stored. Throws std::bad_alloc.
keywordlist_phrase* keywordlist_new_phrase(keywordlist* list, std::string_view text,
                                           urllist_action* action, uint32_t word_count,
                                           int whole_word);

// Stores `word` (see keywordlist_add_word_result). With a phrase, the word gets the
// reference (phrase, position, kind). A new text takes the record (`word` is null
// afterwards). An existing text keeps its record: the new action moves to it unless it
// has one already (3), the phrase reference is appended, and a differing word flag makes
// the existing one KEYWORDLIST_BOTH; `word` then still holds the new record for the caller
// to release. A required reference adds 1 to the phrase's required-word count unless this
// word is already required by the phrase; a forbidden one sets its has-forbidden flag.
// REQUIRES: list and word non-null.
int keywordlist_add_word(keywordlist* list, std::unique_ptr<keywordlist_word>& word,
                         keywordlist_phrase* phrase, uint32_t position, uint8_t kind);

// The list-store side of urllist_add_keyword, which the list store calls with the URL
// list's keyword slot:
//
//   int urllist_add_keyword(urllist* l, const char* text, urllist_action* a, const char* t) {
//     count an attempt for the type letter;
//     int r = keywordlist_add_entry(l->keywordlist, text, a, t);
//     if (r == 0) count a stored entry;
//     return r;
//   }
//
// Creates the list in `slot` on first use (no boundary strings, no callback). The type
// word's first letter decides: "W"/"w" whole words, "k"/"w" phrases; "K" (also for a null
// or empty type word) plain substring keywords. Returns 0 stored; -10 duplicate, after
// logging "urllist_add: Duplicate keyword entry '%s'\n" with the entry text at level 4 (the
// first entry's action stays; the list store treats -10 as success); -2 memory exhausted;
// -8 any other failure.
int keywordlist_add_entry(std::unique_ptr<keywordlist>& slot, const char* text,
                          urllist_action* action, const char* type_word);

// ---- Lookup -----------------------------------------------------------------------------

// Scans `text` (NUL-terminated, already lower-cased by the caller as the keyword texts are)
// and returns the matching word or phrase record, or null: for a null list or text, an
// empty text, a list without words, or no match; memory running out during the scan throws
// std::bad_alloc (null would say "no keyword", a wrong answer). With
// `accept`, each candidate found during the scan (a keyword in keyword mode, a phrase that
// completes with the most required words so far in phrase mode) is offered to it and a
// refusal continues the scan; the end-of-scan results of phrase mode (pending phrase,
// fallback keyword) are not offered. The record stays valid as long as the list.
const keywordlist_entry* keywordlist_lookup(const keywordlist* list, const char* text,
                                            keywordlist_accept_fn accept, void* arg);
