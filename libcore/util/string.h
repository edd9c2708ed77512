#pragma once
// Text helpers over NUL-terminated byte strings, shared by the URL list engine and the tools.
//
// Plain functions, no global state; every function may run on any thread at once as long as
// no two threads touch the same text. Functions that work "in place" take a `char*` and
// modify the caller's buffer; the others return a new std::string. Where the documented
// behaviour distinguishes a null result (null input) from an empty one, the result is a
// std::optional<std::string> and std::nullopt stands for null. A null pointer where a text
// is expected never crashes: it yields the function's failure result.
//
// Explode results are std::vector<char*> of pointers into the caller's buffer, which the
// explode call has cut in place by writing NULs over the separators. The pointers stay
// valid as long as that buffer does. There is no terminating null entry. A null text gives
// an empty vector; a non-null text always gives at least one piece (an empty text gives one
// empty piece), so an empty vector means "null" and nothing else.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// --- Cutting texts ---------------------------------------------------------------------

// Cuts `text` in place at every `separator`: n separators give n+1 pieces, empty pieces
// included ("a,,b" gives "a", "", "b"). Null text: empty vector.
std::vector<char*> string_explode(char* text, char separator);

// Cuts `text` at its first limit-1 separators only; the last piece is the untouched rest of
// the text (it may still hold separators). A limit below 2 gives the whole text as one piece.
// `count`, when not null, receives the number of pieces. Null text: empty vector and
// `count` untouched.
std::vector<char*> string_explode_limit(char* text, char separator, int limit, int* count);

// Cuts `text` in place at spaces that are not inside double quotes. The quote characters
// stay in the pieces (string_extract_from_quotes removes them). Consecutive spaces give
// empty pieces, as in string_explode. Null text: empty vector.
std::vector<char*> string_explode_quotes(char* text);

// Joins the pieces, writing `separator` after EVERY piece, the last one included
// ({"a","b"} with ',' gives "a,b,"). A null piece ends the list, like the terminator of an
// explode array.
// Takes explode results (std::vector<char*>) as well as arrays of const char*.
std::string string_implode(std::span<const char* const> pieces, char separator);
// string_implode over the first `n` pieces at most.
std::string string_nimplode(std::span<const char* const> pieces, size_t n, char separator);

// --- In-place rewriting ----------------------------------------------------------------

// Lower-cases every byte with the process locale's mapping. Null or empty text accepted.
// Always returns 0.
int string_tolower(char* text);

// Lower-cases the ASCII letters A-Z in place, whatever the locale. Returns `text`
// (null for null).
char* string_lcase(char* text);

// Normalises a URL text in place, left to right: "%" plus two hex digits (either case)
// becomes the byte they encode, an encoded or literal space becomes "+", every produced
// byte is lower-cased (process locale), and a "%" not followed by two hex digits is copied
// as is. The result is never longer than the input. Returns a pointer to the result's
// terminating NUL, so `result - text` is its length even when "%00" produced a NUL inside
// it. Null text: null.
char* string_lowercase_url(char* text);

// Replaces every byte `from` by `to`. Returns `text` (null for null).
char* string_replace(char* text, char from, char to);

// Removes trailing white space (C-locale isspace) by writing a NUL. Returns `text`.
char* string_rtrim(char* text);
// Removes leading white space by moving the rest to the start of `text`. Returns `text`.
char* string_ltrim(char* text);

// Resolves backslash escapes in place: \b \f \n \r \t, \x followed by exactly two hex
// digits, and \ followed by one to three octal digits (value taken modulo 256). For any
// other escaped character the backslash is dropped and the character kept ("\\" gives "\",
// "\q" gives "q"); a lone backslash at the end stays. Returns the new length, which counts
// NULs produced by "\0" (strlen would stop there); -1 for a null text.
long string_unescape_string(char* text);

// --- New strings -----------------------------------------------------------------------

// Replaces the FIRST occurrence of `pattern` by `replacement`. An empty pattern or no
// occurrence gives a plain copy. Any null argument: nullopt.
std::optional<std::string> string_replace_string(const char* text, const char* pattern,
                                                 const char* replacement);

// Replaces every non-overlapping occurrence, scanning left to right and resuming after each
// match ("aaa" with "aa" -> "b" gives "ba"). No occurrence or an empty pattern: a plain
// copy. Any null argument: nullopt.
std::optional<std::string> string_replace_string_global(const char* text, const char* pattern,
                                                        const char* replacement);

// Counts non-overlapping occurrences of the first `pattern_len` bytes of `pattern` ("aaaa"
// holds "aa" twice). Null text, null pattern or a length of 0: 0.
size_t string_count_string_occurences_l(const char* text, const char* pattern, size_t pattern_len);
// The same with the pattern length taken by strlen.
size_t string_count_string_occurences(const char* text, const char* pattern);

// Shortens `text` so that the result is at most limit-1 bytes: a text shorter than `limit`
// is copied; otherwise the result is its first limit-4 bytes followed by "...". A limit
// below 4 leaves no room for the dots and gives a plain cut to limit-1 bytes (empty for a
// limit of 1 or less). Null text: nullopt.
std::optional<std::string> string_truncate_withdots(const char* text, int limit);

// Wraps `text` in single quotes for a POSIX shell; each single quote inside becomes
// '\'' (quote, backslash, quote, quote). Null text: nullopt.
std::optional<std::string> string_escapeshellarg(const char* text);

// Copies `text` with HTML's special characters written as entities: & < > " ' become
// &amp; &lt; &gt; &quot; &#39;. Every other byte is copied unchanged. Null text: nullopt.
std::optional<std::string> string_html_entities(const char* text);

// Copies `text` without its double-quote characters, resolving the backslash escapes
// \" \' \\ \a \b \f \n \r \t \v (an escaped double quote is kept as a character). Any other
// backslash is copied as is. Null text: nullopt.
std::optional<std::string> string_extract_from_quotes(const char* text);

// A new random text of 20 letters and digits, drawn from the system's random device.
std::string string_security_key();

// --- Numbers ---------------------------------------------------------------------------

// Converts hex digit pairs (either case) to bytes, high nibble first, until the text ends or
// `out_len` bytes are written; a trailing single digit fills the high nibble of one more byte
// (low nibble 0). Returns 1 for a null text or buffer, an out length of 0, or a non-hex
// character (bytes of earlier pairs stay written; the pair holding the bad character is not
// written); otherwise 0. A negative out length writes nothing and returns 0.
int string_hex_to_bin(const char* hex, unsigned char* out, int out_len);

// Parse the whole text as a base-10 number: digits only (a leading "-" for the signed form),
// no white space, no trailing characters, within the result type's range; otherwise nullopt.
std::optional<unsigned int> string_extract_number(const char* text);
std::optional<unsigned long> string_extract_long_number(const char* text);
std::optional<int> string_extract_number_signed(const char* text);

// Dotted IPv4 text ("192.168.0.1") to a 32-bit value in host order. Exactly four parts, each
// one to three decimal digits with a value of 0-255; anything else: nullopt.
std::optional<uint32_t> string_extract_ip(const char* text);

// --- Growing texts ---------------------------------------------------------------------

// Appends `count` bytes of `bytes` to `text`. Returns 0, or -1 when memory is short or the
// result would be too long; `text` is then unchanged and still valid. A null `bytes` with a
// non-zero count: -1.
int string_append(std::string& text, const char* bytes, size_t count);
// string_append with count = strlen(s). Null `s`: -1.
int string_add(std::string& text, const char* s);

// A growable text built with printf-style appends. Room starts at 1000 bytes; when an
// append does not fit, room grows by the needed length plus 3000, so a long run of small
// appends reallocates rarely. Not thread-safe: one owner.
struct str {
  std::string text;
};

// A new, empty growable text with room for 1000 bytes.
str str_new();
// Appends the formatted text. Returns 0, or -1 when formatting fails or memory is short
// (the text is then unchanged).
int str_add(str& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
