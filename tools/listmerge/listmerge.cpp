#include "listmerge.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "records/action.h"
#include "records/cvnet.h"
#include "stores/iplist.h"
#include "urllist/hashed_url.h"
#include "urllist/lookup.h"
#include "urllist/query.h"
#include "urllist/urllist.h"

namespace {

const char* const usage_lines[] = {
    "Usage: cvlistmerge options",
    "\t-h\t\tDisplay the Usage and help for using the tool.",
    "\t-v\t\tDisplay the version of the tool.",
    "\t-i filename\tInput file name to merge. The order of the files is important when "
    "processing identical entries.\n\t\t\tThe last file will take precedence when entries are "
    "identical.",
    "\t-o filename\tThe merged result from the files specified with -i will be merged into this "
    "output file.\n\t\t\tstdout is used if this option is omitted",
    "\t-x\t\tEnforce hashing of all input files regardless of their type.\n\t\t\tClear text or "
    "plain files will be hashed while hashed files will remain the same. IP address will remain "
    "in clear text.",
    "\t-X\t\tEnforce hashing of all input files regardless of their type.\n\t\t\tClear text or "
    "plain files will be hashed while hashed files will remain the same. IP address will be "
    "hased as well.",
    "\t-d\t\tKeep dangerous URLs that has username:password which can cause overblocking.",
    "\t-c categoryset\tKeep URLs that have a CATEGORYSET that will INTERESECT with the provided "
    "CATEGORYSET.",
    "\t-r categoryset\tRemove URLs that have a CATEGORYSET that will INTERESECT with the provided "
    "CATEGORYSET.",
    "\t-k categoryset\tOnly keep the specified categories and remove all other categories. If "
    "you specify 1,2,3, all other categories will be removed from the URLs.\n\t\t\tURLs that "
    "have no categories will not be saved to the output, similar to the -c categoryset "
    "specified.",
    "\t-V\t\tDisplay results with verbose output to stderr.",
    "\t-f filename\tFilter the entries that match the URLs in the FILENAME.\n\t\t\tThis will "
    "remove the URLs that match using the Corvane URL List Parsing.",
};

// White space as isspace sees it in the "C" locale.
bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool contains(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

// A text the list store takes for a regular expression when no type word says otherwise.
bool looks_like_regexp(std::string_view url) {
  if (url.empty()) return false;
  char d = url.front();
  return (d == '|' || d == '/' || d == '\'') && url.back() == d;
}

void put(std::string* out, std::string_view text) { out->append(text); }

// True when the list store keeps the entry exploded as `hashed` (from the hashed text, with
// EXPLODE_HASHED) exactly as the entry exploded as `plain`: the same parts with the same
// hashes, port bounds, query parameters and IP host. IP literals and converted ranges are
// stored by address, so their host text is compared instead of label hashes.
bool same_entry(const urllist_exploded_url& plain, const urllist_exploded_url& hashed) {
  // The port number only tells an any-port part (-1) apart; port nodes use the bounds.
  if ((plain.is_ip != 0) != (hashed.is_ip != 0) || (plain.port == -1) != (hashed.port == -1)) {
    return false;
  }
  if (plain.is_ip && cvnet_compare(plain.address, hashed.address) != 0) return false;
  cvnet_ipaddr first, last;
  const bool range = !plain.is_ip && plain.host_len > 0 &&
                     iplist_hostname_is_ip_range(plain.host_view(), plain.bracketed != 0) &&
                     iplist_rangestring_to_ips(plain.host_view(), &first, &last) == 0;
  if (range && plain.host_view() != hashed.host_view()) return false;
  size_t j = 0;
  for (const urllist_url_part& a : plain.part_span()) {
    std::unique_ptr<urllist_query_item> qa;
    if (a.kind == URL_PART_QUERY) {
      // A query without parameters is stored at the node the path reached: not written.
      qa = urllist_new_urllist_query_item(a.text, 0);
      if (!qa) continue;
    }
    if (j >= hashed.part_count) return false;
    const urllist_url_part& b = hashed.parts[j++];
    if (a.kind != b.kind) return false;
    switch (a.kind) {
      case URL_PART_DOMAIN:
        if (!plain.is_ip && !range && a.hash != b.hash) return false;
        break;
      case URL_PART_PORT:
        if (urllist_port_text_bounds(a.text) != urllist_port_text_bounds(b.text)) return false;
        break;
      case URL_PART_QUERY: {
        std::unique_ptr<urllist_query_item> qb =
            urllist_new_urllist_query_item(b.text, EXPLODE_HASHED);
        if (!qb || qa->count != qb->count ||
            !std::equal(qa->full_hashes().begin(), qa->full_hashes().end(),
                        qb->full_hashes().begin())) {
          return false;
        }
        break;
      }
      case URL_PART_END:
        break;
      default:
        if (a.hash != b.hash) return false;
        break;
    }
  }
  return j == hashed.part_count;
}

}  // namespace

void listmerge_usage(FILE* out) {
  for (const char* line : usage_lines) {
    fputs(line, out);
    fputc('\n', out);
  }
}

listmerge_merger::listmerge_merger(const listmerge_settings& settings, urllist* filter)
    : s_(settings),
      filter_(filter),
      categories_filtered_(settings.only_keep || settings.intersect || settings.remove) {}

void listmerge_merger::say(const char* format, std::string_view text) {
  if (!s_.verbose) return;
  std::string t(text.substr(0, text.find('\0')));
  fprintf(stderr, format, t.c_str());
}

void listmerge_merger::process_line(char* line, size_t len, std::string* out, bool may_hold_nul) {
  if (len == 0) return;
  if (is_space(static_cast<unsigned char>(line[0]))) {
    say("isspace: %s\n", std::string_view(line, len));
    return;
  }
  if (line[0] == '#') {
    put(out, std::string_view(line, len));
    // A last line without its newline would otherwise run into the next input's first line.
    if (line[len - 1] != '\n') out->push_back('\n');
    return;
  }
  // An entry is the text up to its first NUL, as the list loader reads it, without the
  // newlines and carriage returns at its end.
  size_t n = may_hold_nul ? strnlen(line, len) : len;
  while (n > 1 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
  const bool as_read = n + 1 == len && line[n] == '\n';  // one "\n" removed, nothing else
  line[n] = '\0';
  const std::string_view whole(line, n);

  const void* space = memchr(line, ' ', n);
  if (space == nullptr) {
    say("list entry malformat: \"%s\"\n", whole);
    return;
  }
  const size_t url_len = static_cast<size_t>(static_cast<const char*>(space) - line);
  // Without hashing, category filters and explosions the line goes out as read: the fields
  // beyond the URL are not needed (the common case of a plain merge).
  const bool check_userinfo = !s_.keep_dangerous && memchr(line, '@', url_len) != nullptr;
  const bool explode = check_userinfo || filter_ != nullptr || s_.verbose;
  if (!explode && !categories_filtered_ && s_.hash_mode == LISTMERGE_HASH_OFF) {
    if (as_read) {
      out->append(line, len);  // the "\n" byte is now NUL: written as "\n" below
      out->back() = '\n';
    } else {
      put(out, whole);
      out->push_back('\n');
    }
    return;
  }

  fields f;
  std::string_view piece[4];
  size_t pos = 0;
  while (f.count < 3) {
    const void* sp = memchr(line + pos, ' ', n - pos);
    if (sp == nullptr) break;
    size_t at = static_cast<size_t>(static_cast<const char*>(sp) - line);
    piece[f.count++] = whole.substr(pos, at - pos);
    pos = at + 1;
  }
  piece[f.count++] = whole.substr(pos);
  f.url = piece[0];
  switch (f.count) {  // at least 2: the line holds a space
    case 2:
      f.action = "C";
      f.categories = piece[1].data();
      break;
    case 3:
      f.second = piece[1];
      if (!piece[1].empty() && isdigit(static_cast<unsigned char>(piece[1][0]))) {
        f.action = "C";
        f.categories = piece[2].data();
      } else {
        f.type = piece[1];
        f.action = piece[2];
      }
      break;
    default:
      f.type = piece[1];
      f.action = piece[2];
      f.categories = piece[3].data();
      break;
  }

  int flags = 0;
  for (char c : f.type) {
    if (c == 'h') flags |= EXPLODE_HASHED;
    if (c == 'c') flags |= EXPLODE_NOCASE;
  }
  // The exploded URL serves the user-information test, the filter list and the verbose
  // report of a URL that does not explode. User information needs an "@" in the text, so
  // without a filter list or verbose output a text without one need not be exploded: what
  // is written is the same.
  if (explode) {
    urllist_exploded_url_ptr x = urllist_explode_charset(f.url, &scratch_, 0, flags, nullptr);
    if (!x) {
      // Kept: the tests that need the parts are skipped, the category filters still apply.
      say("fail to explode %s\n", whole);
    } else {
      if (!s_.keep_dangerous && x->userinfo != nullptr) {
        say("Not keep dangerous url with userinfo: %s\n", whole);
        return;
      }
      if (filter_ != nullptr && urllist_lookup_category(filter_, x.get(), &scratch_) == 0) {
        say("filter url %s\n", whole);
        return;
      }
    }
  }

  trimmed_set_ = false;
  // The list loader reads the action letter in either case: a "c" line is a category entry
  // too, and -k, -c and -r must not let its categories through untouched.
  const bool category_entry = !f.action.empty() && (f.action[0] == 'C' || f.action[0] == 'c');
  if (category_entry && categories_filtered_ && !filter_category_entry(whole, f)) return;
  const std::string_view current = trimmed_set_ ? std::string_view(rewritten_) : whole;
  if (s_.hash_mode != LISTMERGE_HASH_OFF && !contains(f.type, 'h')) {
    write_hashed(current, f, out);
    return;
  }
  put(out, current);
  out->push_back('\n');
}

bool listmerge_merger::filter_category_entry(std::string_view line, const fields& f) {
  // The numbers as the list loader reads them, so that the filters judge the categories the
  // entry has once loaded (the option rule would read a number beyond 2^63 differently).
  urllist_action_parse_category_list(f.categories, &entry_);
  if (s_.only_keep) {
    category_set kept;
    for (uint32_t c : entry_.items()) {
      if (s_.only_keep->contains(c)) kept.add(c);
    }
    entry_ = std::move(kept);
    if (entry_.empty()) {
      say("not keeping %s for keep cats\n", line);
      return false;
    }
    trimmed_.clear();
    entry_.append_to(trimmed_);
    trimmed_set_ = true;
    // The line with the trimmed categories in place of its own, the other fields as read.
    // A hashed line carries the trimmed text too; so does a line that hashing writes
    // unchanged, so that no removed category reaches the output.
    rewritten_.assign(f.url);
    rewritten_.push_back(' ');
    if (f.count == 3) {
      rewritten_.append(f.second);
      rewritten_.push_back(' ');
    } else if (f.count == 4) {
      rewritten_.append(f.type);
      rewritten_.push_back(' ');
      rewritten_.append(f.action);
      rewritten_.push_back(' ');
    }
    rewritten_.append(trimmed_);
  }
  if (s_.intersect && !s_.intersect->intersects(entry_)) {
    say("not keeping %s for filtered cats\n", line);
    return false;
  }
  if (s_.remove && s_.remove->intersects(entry_)) {
    say("not keeping %s for removed cats\n", line);
    return false;
  }
  return true;
}

void listmerge_merger::write_hashed(std::string_view line, const fields& f, std::string* out) {
  std::string_view type = f.type;
  if (type.empty()) {
    // Regular expressions, keywords and extensions have no URL to hash.
    if (looks_like_regexp(f.url) || f.url.find("://") == std::string_view::npos) {
      put(out, line);
      out->push_back('\n');
      return;
    }
    type = "U";
  } else if (type[0] != 'U' && type[0] != 'P' && type[0] != 'Q' && type[0] != 'S') {
    put(out, line);
    out->push_back('\n');
    return;
  }
  url_text_.assign(f.url);
  if (contains(type, 'c')) {
    for (char& c : url_text_) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  if (type[0] == 'S' && url_text_.find("://") == std::string::npos) url_text_.append("://");
  urllist_exploded_url_ptr x = urllist_explode_charset(url_text_, &scratch_, 0, 0, nullptr);
  if (!x) {
    say("fail to explode %s for hash output\n", f.url);
    return;
  }
  if (s_.hash_mode == LISTMERGE_HASH_ALL) x->is_ip = 0;
  hashed_.clear();
  if (print_hashed_url(x.get(), type, &hashed_) != 0) throw std::bad_alloc();
  // Only a text that loads back into the entry is written. A few shapes have none: a
  // scheme entry whose "://" stands after a "/" (loading appends another "://"), an entry
  // with a scheme and a path but no host ("*:///a"). They are left out rather than written
  // as another entry. Those shapes lack a host or are no URL entries; a URL entry with a
  // host always loads back (the fuzzer checks it), so it is spared the second explosion.
  if (type[0] != 'U' || x->label_count == 0) {
    url_text_.assign(hashed_);
    if (type[0] == 'S' && url_text_.find("://") == std::string::npos) url_text_.append("://");
    urllist_exploded_url_ptr back =
        urllist_explode_charset(url_text_, nullptr, 0, EXPLODE_HASHED, nullptr);
    if (!back || !same_entry(*x, *back)) {
      say("fail to hash %s for hash output\n", f.url);
      return;
    }
  }
  x.reset();
  put(out, hashed_);
  out->push_back(' ');
  put(out, type);
  out->push_back('h');
  out->push_back(' ');
  put(out, f.action);
  if (trimmed_set_) {
    out->push_back(' ');
    put(out, trimmed_);
  } else if (f.categories != nullptr) {
    out->push_back(' ');
    out->append(f.categories);
  }
  out->push_back('\n');
}

bool listmerge_reader::next(char** line, size_t* len) {
  for (;;) {
    char* base = buf_.data();
    const size_t from = start_ + scanned_;
    if (const void* nl = memchr(base + from, '\n', used_ - from)) {
      hand_out(static_cast<size_t>(static_cast<const char*>(nl) - base) + 1, line, len);
      return true;
    }
    scanned_ = used_ - start_;
    if (error_ != 0) return false;
    if (eof_) {
      if (used_ == start_) return false;
      hand_out(used_, line, len);  // the last line, without its newline
      return true;
    }
    if (start_ > 0) {
      memmove(base, base + start_, used_ - start_);
      used_ -= start_;
      if (nul_ != npos) nul_ -= start_;
      start_ = 0;
    }
    if (buf_.size() - used_ < 4096) buf_.resize(buf_.size() * 2);
    // One byte stays free behind the data: the last line may be NUL-terminated there.
    ssize_t r = read(fd_, buf_.data() + used_, buf_.size() - used_ - 1);
    if (r < 0) {
      if (errno != EINTR) error_ = errno;
    } else if (r == 0) {
      eof_ = true;
    } else {
      if (nul_ == npos) {
        const void* z = memchr(buf_.data() + used_, '\0', static_cast<size_t>(r));
        if (z != nullptr) nul_ = static_cast<size_t>(static_cast<const char*>(z) - buf_.data());
      }
      used_ += static_cast<size_t>(r);
    }
  }
}

void listmerge_reader::hand_out(size_t end, char** line, size_t* len) {
  char* base = buf_.data();
  *line = base + start_;
  *len = end - start_;
  line_nul_ = nul_ < end;
  if (line_nul_) {
    const void* z = memchr(base + end, '\0', used_ - end);
    nul_ = z != nullptr ? static_cast<size_t>(static_cast<const char*>(z) - base) : npos;
  }
  start_ = end;
  scanned_ = 0;
}
