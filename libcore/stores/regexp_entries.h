#pragma once
// Regular-expression entries: POSIX extended expressions matched against the text of a URL.
//
// The URL list keeps its expressions in one chain in load order (urllist_regexp_chain); a
// lookup walks the chain from the head and the first expression that matches gives its
// action, so entries loaded earlier win. Expressions are compiled once with
// regcomp(REG_EXTENDED | REG_NOSUB). An entry whose type word carried "c", "h" or "p" is
// case-insensitive: its expression is lower-cased when stored and matched against the
// lower-cased URL text.
//
// How the list store uses this module (its urllist_add_regexp):
//   "R" line, or a text between "/", "'" or "|":
//       rc = urllist_regexp_chain_add(*list->regexps, text, action, explode_flags);
//       (0 stored, -2 memory, -5 does not compile; count the attempt, and the entry on 0)
//   lookup step 7:
//       a = urllist_regexp_lookup(&list->regexps, url->source, lowered, diag ? &t : nullptr);
//   urllist_terminate: destroying the chain frees every expression and drops every action.
//
// Thread safety: adding needs the owner's exclusive (write) lock. Lookups only read the
// compiled expressions (regexec does not change them) and may run on several threads at once.

#include <regex.h>

#include <cstdint>
#include <memory>
#include <string>

#include "records/action.h"

// One stored expression. Not movable: the compiled expression stays where regcomp put it.
struct urllist_regexp_entry {
  std::unique_ptr<urllist_regexp_entry> next;  // null at the tail
  urllist_action_ref action;
  regex_t compiled{};
  // The type word's explode flags; non-zero: pattern lower-cased, matched against the
  // lower-cased URL text.
  int32_t nocase = 0;
  std::string pattern;  // as compiled, without delimiters

  urllist_regexp_entry() = default;
  urllist_regexp_entry(const urllist_regexp_entry&) = delete;
  urllist_regexp_entry& operator=(const urllist_regexp_entry&) = delete;
  ~urllist_regexp_entry();  // regfree; REQUIRES: `compiled` was compiled successfully
};

// The chain of a URL list: head and tail, in load order. Destroying it releases every entry
// (iteratively, however long the chain).
struct urllist_regexp_chain {
  std::unique_ptr<urllist_regexp_entry> head;
  urllist_regexp_entry* tail = nullptr;
  size_t count = 0;

  urllist_regexp_chain() = default;
  urllist_regexp_chain(const urllist_regexp_chain&) = delete;
  urllist_regexp_chain& operator=(const urllist_regexp_chain&) = delete;
  ~urllist_regexp_chain();
};

// The pattern that an entry text stands for: a text of at least 4 characters that begins
// with "'", "/" or "|" and ends with the same character loses both delimiters; any other
// text is the pattern as it is ("/ab/" gives "ab", "/a/" stays "/a/").
std::string urllist_regexp_pattern(const char* text);

// The guard against expressions the C library cannot compile or match safely. Its bounds:
//
//   back-references ("\1" to "\9")           refused: POSIX extended syntax does not define
//                                             them, and the library matches them by
//                                             backtracking, which recurses without bound
//                                             ("(|)(\1\1)*" overflows the stack) and takes
//                                             exponential time ("(.*)(.*)\2\1x").
//   groups nested more than 64 deep          refused: the compiler recurses once per level
//                                             and overflows the stack at a few thousand.
//   more than 2048 repeated atoms            refused: each counted repetition is compiled
//                                             as that many copies of its operand, and
//                                             nested ones multiply ("((a{1,255}){1,255})
//                                             {1,255}" asks for 24 GB); an optional chain
//                                             of n copies also costs memory in n squared.
//                                             Counted: every atom (character, ".", bracket
//                                             expression, escape) inside a repetition with a
//                                             count of 2 or more ("+" counts 2, "{m,n}" n,
//                                             "{m,}" m + 1), once per enclosing such
//                                             repetition. At the bound the compiler takes
//                                             about 30 MB and 30 ms ("a{1,2000}").
//   repetitions of repetitions whose levels refused: "a*?+*?+*?+*?+*?+*?+*?+*?+*?+*?+" takes
//   multiply past 65536                       minutes to compile. Each level of a stack
//                                             ("a+*", "((a*)+){3}") counts 2 for "*", "?",
//                                             "+", and its largest count + 1 for an
//                                             interval.
//   repetitions ("*", "+", counts) of a      refused past one level, or past 64 copies:
//   part that can match the empty text        the compiler's closure of empty moves grows
//                                             with them far faster than the copies
//                                             ("^((x+??+)+)++y" never finishes compiling,
//                                             "(x?){1,200}" takes 0.4 s, "((b?)*){20}"
//                                             1.4 s, "(x*){1,2000}" minutes). One level of
//                                             64 ("(a|b?){1,64}", "(x*)+") stays cheap.
//   more than 65536 atoms in all             refused: the compiled form costs some
//                                             hundreds of bytes per atom.
//
// A lookup then costs time linear in the URL's length for a given expression: expressions
// are matched anchored (see urllist_regexp_chain_add), and the bounds keep the matcher's state
// sets small (within one lookup; the library's cache of states is bounded by its size, not
// per URL: an expression whose states multiply, "[ab]*a[ab]{20}c", still costs more than
// linear time on URLs of tens of kilobytes). Every expression of the bundled examples and
// tests stays well inside the bounds.
constexpr int urllist_regexp_max_depth = 64;
constexpr double urllist_regexp_max_repeated = 2048;
constexpr double urllist_regexp_max_stacked = 65536;
constexpr int urllist_regexp_max_nested_nullable = 1;
constexpr double urllist_regexp_max_nullable_copies = 64;
constexpr double urllist_regexp_max_atoms = 65536;

// What the compiler would build from a pattern, as the guard counts it.
struct urllist_regexp_cost {
  double atoms = 0;            // atoms after every repetition is expanded
  double repeated = 0;         // atoms made by repetitions with a count of 2 or more
  double stacked = 0;          // largest product of the levels of a stack of repetitions
  int nested_nullable = 0;     // deepest nesting of repetitions of nullable parts
  double nullable_copies = 1;  // largest product of their counts along one nesting
  int depth = 0;               // deepest group nesting
  bool backreference = false;
  bool unbalanced = false;  // a ")" without its "(", which the compiler takes literally
};

urllist_regexp_cost urllist_regexp_measure(const char* pattern);

// Null when the pattern is inside the bounds above; otherwise why it is refused
// ("back-reference", "groups nested too deeply", "repetitions too large",
// "expression too long").
const char* urllist_regexp_refusal(const char* pattern);

// True when urllist_regexp_refusal refuses the pattern.
bool urllist_regexp_too_costly(const char* pattern);

// Compiles the pattern of `text` (lower-cased byte by byte in the process locale when
// `flags` is non-zero) and appends the entry, holding its own reference to `action`, at the
// tail of the chain. Returns 0 stored; -2 memory exhausted (also regcomp's REG_ESPACE; errno
// is then ENOMEM); -5 any other compile error, a pattern urllist_regexp_refusal refuses, or a
// null text. On failure the chain is unchanged. REQUIRES: action non-null.
// The expression is compiled as "^.*(" pattern ")", which matches the same texts but is run
// once from the start of the text rather than once from every position (unless the pattern
// is empty, starts with a repetition operator or holds a ")" without "(", which the
// wrapping could change); the stored pattern text stays as written.
int urllist_regexp_chain_add(urllist_regexp_chain& chain, const char* text,
                             const urllist_action_ref& action, int32_t flags);

// Walks the chain from the head and returns the action of the first entry that matches, or
// null. Entries whose action has a positive expiry not later than current_time are skipped.
// A case-insensitive entry is matched against `lowered_text`, any other against `url_text`;
// an entry whose text is null is skipped, and a null `url_text` matches nothing. On a match
// *matched (when given) becomes "/" + pattern + "/" (left empty if memory runs out).
// The action pointer stays valid as long as the chain.
urllist_action* urllist_regexp_lookup(const urllist_regexp_chain* chain, const char* url_text,
                                      const char* lowered_text, std::string* matched);
