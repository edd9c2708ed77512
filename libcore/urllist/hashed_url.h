#pragma once
// Hashed URL text: the form in which list lines with an "h" in their type word carry a URL.
//
// The text keeps the URL's punctuation and replaces part texts by their 16-digit hash texts
// (hashing.h), so that loading the line with EXPLODE_HASHED gives the part hashes the plain
// URL gives:
//
//   http://www.h.test:8080/a/b?x=1&y     (type word "U")
//   <H(http)>://<H(www)>.<H(h)>.<H(test)>:8080/<H(a)>/<H(b)>?<H(x=1)>&<H(y)>
//
// For a type word beginning with "U": the scheme (only when the source text holds "://"),
// the host labels in written order (an IP literal or IP range in clear, IPv6 in brackets),
// and a port the entry gave, in clear (also an empty one: port nodes are matched by the
// bounds their text gives, never by hash). A port part that explode
// supplied by default ("80" for http, "443" for https, "0-65535" for no scheme, the empty
// text for other schemes) is left out: loading supplies it again. For every type word: the path
// segments ("/" and the hash text each) and the query parameters as the query-parameter module
// splits and hashes them ("?" before the first,
// "&" before the others). For other type words ("P", "Q", "S"...) the scheme is written as
// its bare hash text, without "://", and there is no host or port: an entry of such a type
// that has a host or port part is written in the URL form instead, because the list store
// keeps all its parts and the short form would lose them.
//
// A query part that holds no parameter (such as the text "#") writes nothing: the list
// store attaches such an entry to the node the path reached, which is what the hashed text
// without the query gives back.
//
// The functions only read the exploded URL. REQUIRES: the URL's query text has not been split
// in place by a lookup (use a freshly exploded URL). Thread-safe for different URLs.

#include <cstddef>
#include <string>
#include <string_view>

#include "urllist/exploded_url.h"

// Appends the hashed URL text of `url` for `type_word` (null or empty: no type word, read as
// neither "U" nor another letter: only path, query and scheme hash) to *out. Returns 0, or -1
// when memory runs out (*out may then hold part of the text). The text has no size limit.
int print_hashed_url(const urllist_exploded_url* url, std::string_view type_word, std::string* out);

// The same into buf[0..size): returns 0 when the whole text and its terminating NUL fit, or
// -1 when they do not (buf then holds the text cut to size - 1 bytes, NUL-terminated, when
// size > 0) or memory runs out.
int print_hashed_url(const urllist_exploded_url* url, const char* type_word, char* buf,
                     size_t size);
