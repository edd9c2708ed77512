// Feeds fuzzed list text through the line handling of cvlistmerge and checks that what it
// writes loads into the same verdicts as what it read.
//
// Input: byte 0 picks the mode (bits 0-1: plain, -k, -x, -X; bit 2: -k as well under -x or
// -X; bit 3: -d); byte 1 is the -k set (category n is kept when bit n is set). The rest is the
// list text, handled line by line (at most 64 lines) as the tool reads a file.
//
// For every line that survives: a comment must come out as read (with a newline added when it
// had none); an entry must come out as one line, and that line, loaded alone into a list, must
// give the entry's own URL the verdict the input line gives it loaded alone: found or not,
// the same action, and under -k the same categories less those -k removes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "listmerge.h"
#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"
#include "util/category_set.h"
#include "util/cvlog.h"

namespace {

constexpr size_t kMaxLines = 64;

void check(bool ok, const char* what, std::string_view in, std::string_view out) {
  if (ok) return;
  fprintf(stderr, "listmerge_fuzz: %s\n  in:  '%.*s'\n  out: '%.*s'\n", what,
          static_cast<int>(in.size()), in.data(), static_cast<int>(out.size()), out.data());
  __builtin_trap();
}

struct verdict {
  int found = 1;
  int kind = -1;
  category_set cats;
  std::string text;  // the action's text form, for other kinds
};

// Loads one list line alone and looks `url` up in it.
verdict look_up(std::string_view line, std::string_view url) {
  verdict v;
  urllist_ptr list = urllist_initialize(0);
  if (!list) abort();
  std::string copy(line);
  urllist_add_line(list.get(), copy.data(), URLLIST_TYPE_FULL);
  category_set scratch;
  urllist_exploded_url_ptr x = urllist_explode_charset(url, &scratch, 0, 0, nullptr);
  if (!x) return v;
  urllist_action* action = nullptr;
  v.found = urllist_lookup_data(list.get(), x.get(), &action);
  if (v.found == 0 && action != nullptr) {
    v.kind = action->kind;
    if (const category_set* c = urllist_action_categories(action)) {
      v.cats = *c;
    } else {
      char buf[512];
      urllist_action_dump_action(action, buf, sizeof buf);
      v.text = buf;
    }
  }
  return v;
}

std::string run_line(listmerge_merger* merger, std::string_view line) {
  // The reader's guarantee: the byte after the line is writable.
  std::string copy(line);
  std::string result;
  merger->process_line(copy.data(), copy.size(), &result);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (cvlog_set_silent(true), true);
  (void)quiet;
  if (size < 2) return 0;
  listmerge_settings s;
  const int mode = data[0] & 3;
  s.hash_mode = mode == 2   ? LISTMERGE_HASH_KEEP_IP
                : mode == 3 ? LISTMERGE_HASH_ALL
                            : LISTMERGE_HASH_OFF;
  if (mode == 1 || (mode >= 2 && (data[0] & 4))) {
    category_set keep;
    for (uint32_t n = 0; n < 8; ++n) {
      if (data[1] & (1u << n)) keep.add(n);
    }
    s.only_keep = keep;
  }
  s.keep_dangerous = (data[0] & 8) != 0;
  listmerge_merger merger(s, nullptr);

  std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  // glibc's regcomp doubles its memory with each further stacked repetition operator of a
  // regular-expression entry (a known load-time blow-up, see listfile_fuzz.cpp): kept out.
  int run = 0;
  for (char c : text) {
    run = (c == '+' || c == '*' || c == '?' || c == '}') ? run + 1 : 0;
    if (run >= 8) return 0;
  }
  size_t pos = 0;
  for (size_t n = 0; n < kMaxLines && pos < text.size(); ++n) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view line = text.substr(pos, end - pos);
    pos = end;
    std::string out = run_line(&merger, line);
    if (out.empty()) continue;
    check(out.back() == '\n', "output line without newline", line, out);
    if (line[0] == '#') {
      std::string expected(line);
      if (expected.back() != '\n') expected.push_back('\n');
      check(out == expected, "comment not copied as read", line, out);
      continue;
    }
    check(out.find('\n') == out.size() - 1, "one entry gave several lines", line, out);
    // The entry as the tool and the loader see it: up to a NUL, without the newlines and
    // carriage returns at its end.
    std::string entry(line.substr(0, line.find('\0')));
    while (entry.size() > 1 && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    std::string written = out.substr(0, out.size() - 1);
    if (s.hash_mode == LISTMERGE_HASH_OFF && !s.only_keep) {
      check(written == entry, "plain merge changed a line", line, out);
      continue;
    }
    std::string_view url = std::string_view(entry).substr(0, entry.find(' '));
    verdict before = look_up(entry, url);
    verdict after = look_up(written, url);
    if (s.only_keep && before.found == 0 && before.kind == URLLIST_ACTION_CATEGORY) {
      category_set kept;
      for (uint32_t c : before.cats.items()) {
        if (s.only_keep->contains(c)) kept.add(c);
      }
      before.cats = kept;
    }
    check(before.found == after.found, "found differs", entry, written);
    check(before.kind == after.kind, "action kind differs", entry, written);
    check(before.cats == after.cats, "categories differ", entry, written);
    check(before.text == after.text, "action differs", entry, written);
  }
  return 0;
}
