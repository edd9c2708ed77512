#pragma once
// The line handling of cvlistmerge: what one list line becomes in the merged list.
//
// A line is dropped (with a message on standard error when verbose), copied as read, copied
// with its categories trimmed, or written in hashed form. The handler keeps no state from one
// line to the next except its reusable buffers, so lines of several input files can be fed
// one after the other. One thread.

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "urllist/exploded_url.h"
#include "util/category_set.h"

struct urllist;

// Hash output modes (-x, -X).
enum listmerge_hash_mode : int {
  LISTMERGE_HASH_OFF = 0,
  LISTMERGE_HASH_KEEP_IP = 1,  // -x: IP hosts stay in clear
  LISTMERGE_HASH_ALL = 2,      // -X: IP hosts are hashed like names
};

// Run settings, filled by the option parser.
struct listmerge_settings {
  std::vector<std::string> inputs;         // -i, in order; "-" is standard input
  std::optional<std::string> output;       // -o; none (or "-") is standard output
  std::optional<std::string> filter_file;  // -f
  int hash_mode = LISTMERGE_HASH_OFF;
  bool keep_dangerous = false;            // -d
  std::optional<category_set> intersect;  // -c
  std::optional<category_set> remove;     // -r
  std::optional<category_set> only_keep;  // -k
  bool verbose = false;                   // -V
};

class listmerge_merger {
 public:
  // `filter` (may be null) is the filter list; it must outlive the merger.
  listmerge_merger(const listmerge_settings& settings, urllist* filter);
  listmerge_merger(const listmerge_merger&) = delete;
  listmerge_merger& operator=(const listmerge_merger&) = delete;

  // Handles one line as read: line[0..len), its "\n" included when it had one. Appends what
  // survives to *out (always ending it with one "\n") and, when verbose, writes why a line
  // was left out to standard error. The line's bytes may be changed.
  // `may_hold_nul` false promises that the line holds no NUL byte (the reader knows).
  // REQUIRES: line[len] is writable. Throws std::bad_alloc when memory runs out.
  void process_line(char* line, size_t len, std::string* out, bool may_hold_nul = true);

 private:
  struct fields {
    std::string_view url;
    std::string_view second;  // the second field as read (3-field lines), for the rewrite
    std::string_view type;    // empty: no type word
    std::string_view action;
    const char* categories = nullptr;  // null: no categories text; else runs to the line end
    int count = 0;
  };

  bool filter_category_entry(std::string_view line, const fields& f);
  void write_hashed(std::string_view line, const fields& f, std::string* out);
  void say(const char* format, std::string_view text);

  const listmerge_settings& s_;
  urllist* filter_;
  const bool categories_filtered_;  // -k, -c or -r given
  category_set entry_;              // categories of the current line
  category_set scratch_;            // handed to explodes and the filter lookup
  std::string trimmed_;             // the categories left by -k, as text
  bool trimmed_set_ = false;
  std::string rewritten_;  // the line with the trimmed categories
  std::string url_text_;   // the URL text handed to the hashing explode
  std::string hashed_;     // the hashed URL text
};

// Reads lines of any length from a descriptor, each with its "\n" (the last line of a file
// may lack it). The byte after each line is writable. NUL bytes are looked for once per
// block read, so that lines without one need no scan of their own.
class listmerge_reader {
 public:
  explicit listmerge_reader(int fd) : fd_(fd) {}
  listmerge_reader(const listmerge_reader&) = delete;
  listmerge_reader& operator=(const listmerge_reader&) = delete;

  // The next line; false at the end of the input or on a read error (error() then != 0).
  bool next(char** line, size_t* len);
  int error() const { return error_; }
  // Whether the line last handed out may hold a NUL byte (false: it holds none).
  bool line_may_hold_nul() const { return line_nul_; }

 private:
  static constexpr size_t npos = static_cast<size_t>(-1);
  void hand_out(size_t end, char** line, size_t* len);

  int fd_;
  std::vector<char> buf_ = std::vector<char>(1 << 18);
  size_t start_ = 0;    // where the next line starts
  size_t scanned_ = 0;  // bytes after start_ known to hold no "\n"
  size_t used_ = 0;     // bytes held
  bool eof_ = false;
  int error_ = 0;
  size_t nul_ = npos;  // the first NUL byte at or after start_, or npos
  bool line_nul_ = true;
};

// The usage text, one line after another.
void listmerge_usage(FILE* out);
