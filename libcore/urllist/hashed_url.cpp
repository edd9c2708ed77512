#include "urllist/hashed_url.h"

#include <cstring>
#include <new>

#include "records/cvnet.h"
#include "stores/iplist.h"
#include "urllist/hashing.h"
#include "urllist/query.h"
#include "urllist/urllist.h"

namespace {

void append_hash(urllist_hash_value hash, std::string* out) {
  char text[URLLIST_HASH_TEXT_SIZE];
  urllist_hash2str(hash, text, sizeof text);
  out->append(text, URLLIST_HASH_TEXT_LEN);
}

void append_host(const urllist_exploded_url* url, std::string* out) {
  std::span<const urllist_url_part> parts = url->part_span();
  // A range the list store cannot convert is stored as a host name: hashed like one.
  cvnet_ipaddr range_first, range_last;
  if (url->host != nullptr && url->host_len > 0 &&
      iplist_hostname_is_ip_range(url->host_view(), url->bracketed != 0) &&
      iplist_rangestring_to_ips(url->host_view(), &range_first, &range_last) == 0) {
    if (url->bracketed) out->push_back('[');
    out->append(url->host, url->host_len);
    if (url->bracketed) out->push_back(']');
    return;
  }
  if (url->is_ip) {
    std::optional<std::string> text = cvnet_ntoa(url->address);
    if (text) {
      const bool v6 = url->address.family == 10;
      if (v6) out->push_back('[');
      out->append(*text);
      if (v6) out->push_back(']');
      return;
    }
  }
  // The labels stand top-level label first in the parts; the text wants them as written.
  size_t first = 0;
  while (first < parts.size() && parts[first].kind != URL_PART_DOMAIN) ++first;
  size_t end = first;
  while (end < parts.size() && parts[end].kind == URL_PART_DOMAIN) ++end;
  for (size_t i = end; i > first; --i) {
    if (i != end) out->push_back('.');
    append_hash(parts[i - 1].hash, out);
  }
}

// A port part that explode supplied by default (its text is the record's default port
// text) is left out: loading the hashed text supplies the same part again. A port given in
// the entry is written in clear, also when its text is empty ("h.test:/x": without the ":"
// loading would supply "80" for http instead of the empty port the plain entry has). Port
// nodes are matched by the bounds their text gives, never by hash, so the text stays in
// clear; only a text holding "[" (which would restart the host when read back) is written
// as the bounds it stands for.
void append_port(const urllist_exploded_url* url, std::string* out) {
  for (const urllist_url_part& part : url->part_span()) {
    if (part.kind == URL_PART_END) return;
    if (part.kind != URL_PART_PORT) continue;
    if (part.text == url->default_port_text) return;
    out->push_back(':');
    if (part.text == nullptr) return;
    std::string_view text(part.text, part.len);
    if (text.find('[') == std::string_view::npos) {
      out->append(text);
      return;
    }
    auto [low, high] = urllist_port_text_bounds(part.text);
    out->append(std::to_string(low));
    if (strchr(part.text, '-') != nullptr) {
      out->push_back('-');
      out->append(std::to_string(high));
    }
    return;
  }
}

void append_query(const urllist_url_part& part, std::string* out) {
  if (part.text == nullptr) return;
  std::unique_ptr<urllist_query_item> item =
      urllist_new_urllist_query_item(std::string_view(part.text, strlen(part.text)), 0);
  if (!item) return;  // no parameter: see the header
  char sep = '?';
  for (urllist_hash_value h : item->full_hashes()) {
    out->push_back(sep);
    append_hash(h, out);
    sep = '&';
  }
}

}  // namespace

int print_hashed_url(const urllist_exploded_url* url, std::string_view type_word,
                     std::string* out) {
  if (url == nullptr || out == nullptr) return -1;
  try {
    std::span<const urllist_url_part> parts = url->part_span();
    bool url_kind = !type_word.empty() && type_word[0] == 'U';
    if (!url_kind) {
      // Path, query and scheme entries are stored from all their parts like URL entries; one
      // that names a host or port would lose it in the short form, so it takes the URL form.
      for (const urllist_url_part& part : parts) {
        if (part.kind == URL_PART_DOMAIN || part.kind == URL_PART_PORT) url_kind = true;
      }
    }
    if (url_kind) {
      const bool has_scheme = !parts.empty() && parts[0].kind == URL_PART_SCHEME;
      if (has_scheme && url->source_view().find("://") != std::string_view::npos) {
        append_hash(url->scheme_hash, out);
        out->append("://");
      }
      append_host(url, out);
      append_port(url, out);
    }
    for (const urllist_url_part& part : parts) {
      if (part.kind == URL_PART_END) break;
      if (part.kind == URL_PART_PATH) {
        out->push_back('/');
        append_hash(part.hash, out);
      } else if (part.kind == URL_PART_QUERY) {
        append_query(part, out);
      } else if (part.kind == URL_PART_SCHEME && !url_kind) {
        append_hash(url->scheme_hash, out);
      }
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

int print_hashed_url(const urllist_exploded_url* url, const char* type_word, char* buf,
                     size_t size) {
  std::string text;
  int rc = print_hashed_url(url, type_word != nullptr ? type_word : "", &text);
  if (size == 0) return -1;
  size_t n = text.size() < size ? text.size() : size - 1;
  memcpy(buf, text.data(), n);
  buf[n] = '\0';
  return rc == 0 && text.size() < size ? 0 : -1;
}
