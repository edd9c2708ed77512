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
// How the list store uses this module:
//   "R" line, or a text between "/", "'" or "|":
//       rc = urllist_add_regexp(list->regexps, text, action, explode_flags);
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

#include "urllist/action.h"

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

// True when the pattern stacks repetitions so deeply ("a+++++++++++++++++", "a{1000}{1000}")
// that compiling it would take hundreds of megabytes or more: a run of repetition operators
// directly after one another whose allowed counts multiply to more than 65536 (each "*", "+",
// "?" counting 2, an interval its largest count + 1). Single repetitions and repetitions of
// groups ("(a{100}){100}") compile cheaply and are left to the compiler.
bool urllist_regexp_too_costly(const char* pattern);

// Compiles the pattern of `text` (lower-cased byte by byte in the process locale when
// `flags` is non-zero) and appends the entry, holding its own reference to `action`, at the
// tail of the chain. Returns 0 stored; -2 memory exhausted (also regcomp's REG_ESPACE);
// -5 any other compile error, a pattern urllist_regexp_too_costly refuses, or a null text. On
// failure the chain is unchanged. REQUIRES: action non-null.
int urllist_add_regexp(urllist_regexp_chain& chain, const char* text,
                       const urllist_action_ref& action, int32_t flags);

// Walks the chain from the head and returns the action of the first entry that matches, or
// null. Entries whose action has a positive expiry not later than current_time are skipped.
// A case-insensitive entry is matched against `lowered_text`, any other against `url_text`;
// an entry whose text is null is skipped, and a null `url_text` matches nothing. On a match
// *matched (when given) becomes "/" + pattern + "/" (left empty if memory runs out).
// The action pointer stays valid as long as the chain.
urllist_action* urllist_regexp_lookup(const urllist_regexp_chain* chain, const char* url_text,
                                      const char* lowered_text, std::string* matched);
