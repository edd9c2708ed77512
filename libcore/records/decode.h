#pragma once
// The two decodings that regexp_replace actions can apply to their result: URL decoding
// (percent escapes and "+") and base64. Both keep the service's exact, lenient rules, which
// accept input that stricter decoders reject; see each function. Pure functions, safe on any
// thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// URL-decodes `text`: "+" becomes a space; "%" and the next two bytes become one byte whose
// high four bits come from the first byte and low four bits from the second, where a decimal
// digit counts its value and any other byte counts (its lower-case code - 87), so a-f and
// A-F count 10-15 and other bytes give whatever that formula gives (no check that they are
// hexadecimal). A "%" that is the last byte is dropped and ends the text; a "%" followed by
// only one byte is dropped and that byte is copied. Every other byte is copied. The result is
// never longer than the input. Bytes are decoded as they are, "%00" included.
std::string cvurldecode(std::string_view text);

// The same for a NUL-terminated text; nullopt for a null text. The text ends at its first
// NUL, and so does the result: a "%00" ends the decoded text there, as it would for any
// caller reading the result as a C text.
std::optional<std::string> cvurldecode(const char* text);

// Decodes base64 `text` into `output`, which must have room for `length` + 1 bytes, and
// returns the number of bytes produced, not counting trailing zero bytes.
// Characters of the standard alphabet (A-Z, a-z, 0-9, "+", "/") are digits, "=" is the digit
// 0, every other character is skipped; every four digits give three bytes, most significant
// first. Before each character the decoder checks that the bytes produced so far plus 4 are
// less than `length`, and stops otherwise; with `length` equal to the text length (the usual
// call) a text of 4 characters or fewer therefore decodes to nothing. output[produced] is set
// to NUL, so the output is always NUL-terminated (also when nothing was produced).
// REQUIRES: output has room for length + 1 bytes.
size_t base64_decode(std::string_view text, char* output, size_t length);
