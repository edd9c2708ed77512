#pragma once
// A compiled Perl-compatible regular expression, the one place that talks to the PCRE library.
//
// The filtering service compiles and runs the patterns of regexp_replace actions with the
// classic PCRE API, so the same calls are used here: which patterns compile and what they
// match must agree with the service. Everything else goes through this small interface so
// that another backend (PCRE2) can replace it without touching the callers.
//
// A compiled pattern is immutable: pcre_regex_exec may run on several threads at once on the
// same pattern. Compiling has no shared state either.

#include <memory>
#include <string>
#include <string_view>

// Room for the whole match and capture groups 1 to 19: 20 offset pairs plus the third of the
// vector that the classic API uses as work space.
inline constexpr int pcre_regex_ovector_size = 60;

struct pcre_regex;

struct pcre_regex_deleter {
  void operator()(pcre_regex* re) const;
};
using pcre_regex_ptr = std::unique_ptr<pcre_regex, pcre_regex_deleter>;

// Compiles `pattern` (NUL-terminated) with no options and the default character tables.
// Returns the compiled pattern, or null when it does not compile; then *error holds the
// library's message and *error_offset the offset in the pattern where it stopped (either
// out pointer may be null).
pcre_regex_ptr pcre_regex_compile(const char* pattern, std::string* error, int* error_offset);

// Runs `re` on the whole of `subject` from offset 0 with no options. Returns the library's
// result: > 0 the number of offset pairs set (1 + highest group that took part); 0 when the
// groups do not fit in the vector; < 0 no match or an error. Callers treat 0 like no match.
// On a result > 0, ovector[2n] and ovector[2n+1] are the start and end offsets of group n for
// n below the result; a group that did not take part has -1 in both.
// The library's recursion is bounded to half of the stack (at most 4 MB), so a long subject
// cannot run the stack out: where the bound is reached the result is < 0, like no match.
// REQUIRES: subject.size() fits in an int; the calling thread's stack is as large as the
// process stack limit (true of the main thread).
int pcre_regex_exec(const pcre_regex* re, std::string_view subject,
                    int (&ovector)[pcre_regex_ovector_size]);
