// cvcatmerge: carries categories across list files. Each entry of one list is looked up in
// another list as the filtering service would look a URL up; when a category entry covers it
// (the same URL, a parent domain, a parent path, a query entry, a keyword...), that entry's
// categories are added to the line's own. The inputs are merged left to right in a chain of
// steps, ((input 1 with input 2) with input 3)..., and the last step merges the accumulated
// result with the master list:
//
//   step k reads A: input 1 (k = 0) or the scratch file step k - 1 wrote
//                B: input k + 2, or the master in the last step
//          writes: scratch "<master>catmerge2" (even k) / "<master>catmerge1" (odd k),
//                  or the output (-o, standard output by default) in the last step
//
// A step loads A into a URL list and passes over B's lines looking each up in it, then loads
// B and passes over A's lines, so its output is B's lines followed by A's, each enriched with
// the other side's categories. The merge mode of a pass decides which of two lines naming the
// same URL survives when only one of them carries categories: in intermediate steps (mode 0)
// the line with categories wins; in the last step the master's line wins both ways (mode 1
// for the pass over the master, 2 for the pass over the accumulated inputs).
//
// Exit status: 0; 1 for a failed pass, a failed write, an output that cannot be opened or a
// bad command line; a load failure's negative result as a byte (-4, a file that cannot be
// opened, gives 252). Without -S the chain goes on after a failed step; the status is then
// the last step's when it failed, else the first failed step's. The scratch files are created
// exclusively (mode 0600) and removed on every exit path, signals included. The output is
// written to a temporary file and published only when the last step succeeded.
//
// One thread; one URL list in memory at a time.

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"
#include "util/program.h"
#include "util/version.h"
#include "util/category_set.h"
#include "util/output_file.h"

namespace {

enum catmerge_exit : int {
  CATMERGE_EXIT_OK = 0,
  CATMERGE_EXIT_FAILURE = 1,
};

// Merge modes of one pass.
enum catmerge_mode : int {
  MERGE_INTERMEDIATE = 0,  // a step before the last
  MERGE_MASTER = 1,        // last step, the pass over the master's lines
  MERGE_INPUTS = 2,        // last step, the pass over the accumulated inputs
};

constexpr const char* option_string = "hvf:i:Vo:Sk:K:";
constexpr size_t max_inputs = 100;
// The general category: dropped from a set that holds other categories as well.
constexpr uint32_t general_category = 45;
constexpr size_t stream_buffer_size = 1 << 16;

const char* const usage_lines[] = {
    "This program allows you to merge URL categories from multiple list files base on the URL "
    "lookup result against each other",
    "usage: cvcatmerge options",
    "\t-h\t\tDisplay this help.",
    "\t-v\t\tDisplay the version of this tool.",
    "\t-V\t\tVerbose Mode to display url lookup results into stderr.",
    "\t-S\t\tStop on failure.",
    "\t-f filename\tMaster file name to merge categories.",
    "\t-i filename\tInput file name to merge categories. This option can be specified multiple "
    "times.",
    "\t-o filename\tThe merged result from the master list and other input files. The stdout is "
    "used if this option is omitted.",
    "\t-k charset\tThe charset that encodes IDN (Internationalized Domain Name) in the list "
    "files. Giving a charset that encodes the IDNs, such as UTF-8, enables IDNs parsing in the "
    "file.",
};

void usage() {
  for (const char* line : usage_lines) {
    fputs(line, stdout);
    fputc('\n', stdout);
  }
}

bool verbose = false;

// Diagnostics of the merge itself: standard error with -V, nothing otherwise.
__attribute__((format(printf, 1, 2))) int verbose_output(const char* format, ...) {
  if (!verbose) return 0;
  va_list ap;
  va_start(ap, format);
  int n = vfprintf(stderr, format, ap);
  va_end(ap);
  return n;
}

struct catmerge_settings {
  bool stop_on_failure = false;
  std::optional<std::string> master;
  std::vector<std::string> inputs;
  std::optional<std::string> output_path;  // none: standard output
  std::optional<std::string> charset;
};

// White space as the C library's isspace sees it in the "C" locale.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The action word of a category entry: its first letter, in either case.
bool is_category_word(const char* word) { return word[0] == 'C' || word[0] == 'c'; }

// Reads comma-separated base-10 numbers into `set` (emptied first): a number (leading white
// space and a sign accepted, taken as unsigned 32-bit), then on when a comma follows.
void parse_numbers(const char* text, category_set* set) {
  set->clear();
  const char* p = text;
  for (;;) {
    char* end = nullptr;
    long value = strtol(p, &end, 10);
    if (end != p) {
      set->add(static_cast<uint32_t>(value));
      p = end;
    }
    if (*p != ',') break;
    ++p;
  }
}

// Drops the general category from a set that holds other categories too.
void drop_general(category_set* set) {
  if (set->count() > 1) set->remove(general_category);
}

// Reads lines with getline(3); its buffer grows with the longest line, so nothing is cut. The
// buffer is malloc'd by the C library and released with free.
class line_reader {
 public:
  line_reader() = default;
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;
  ~line_reader() { free(buf_); }

  // The next line without its newline (a last line without one included); false at the end
  // of the file or on a read error.
  bool next(FILE* in, char** line, size_t* length) {
    ssize_t n = getline(&buf_, &cap_, in);
    if (n < 0) return false;
    size_t len = static_cast<size_t>(n);
    if (len > 0 && buf_[len - 1] == '\n') --len;
    buf_[len] = '\0';
    *line = buf_;
    *length = len;
    return true;
  }

 private:
  char* buf_ = nullptr;
  size_t cap_ = 0;
};

// The fields of a line's rest, cut in place at single spaces into at most four (the fourth
// keeps the remaining spaces). The rest begins with the white space after the URL, so field 1
// is empty for every line with categories or a type word. Cannot fail: nothing is allocated.
struct line_fields {
  int count = 0;
  char* field[4] = {};

  void split(char* rest) {
    count = 1;
    field[0] = rest;
    char* p = rest;
    while (count < 4) {
      char* space = strchr(p, ' ');
      if (space == nullptr) break;
      *space = '\0';
      p = space + 1;
      field[count++] = p;
    }
  }
  // The line's own categories (field 2; field 3 after a number; field 4 of a category
  // action), or null.
  const char* own_categories() const {
    if (count == 2) return field[1];
    if (count == 3 && is_digit(field[2][0])) return field[2];
    if (count == 4 && is_category_word(field[2])) return field[3];
    return nullptr;
  }
  // True when the list loader would store the entry outside the URL trees: a type word whose
  // first letter names another store, or, without a type word, an entry text that is guessed
  // to be a regular expression, an extension or a keyword. Such entries are not URLs, so an
  // entry text that does not explode as one is no reason to drop the line.
  bool stored_outside_url_trees(const char* entry) const {
    const char* type = nullptr;
    if (count == 4 || (count == 3 && !is_digit(field[1][0]))) type = field[1];
    if (type != nullptr && type[0] != '\0') return strchr("USPQ", type[0]) == nullptr;
    size_t n = strlen(entry);
    if (n > 0 && strchr("'/|", entry[0]) != nullptr && entry[n - 1] == entry[0]) return true;
    return strstr(entry, "://") == nullptr;
  }
};

// A scratch file of the chain: created exclusively, written through a buffered stream whose
// every write and the close are checked.
class scratch_writer {
 public:
  scratch_writer() = default;
  scratch_writer(const scratch_writer&) = delete;
  scratch_writer& operator=(const scratch_writer&) = delete;
  ~scratch_writer() {
    if (stream_ != nullptr) fclose(stream_);
  }

  bool open(const std::string& path) {
    int fd = scratch_file_create(path.c_str(), 0600);
    if (fd < 0) return false;
    stream_ = fdopen(fd, "w");
    if (stream_ == nullptr) {
      int e = errno;
      close(fd);
      errno = e;
      return false;
    }
    setvbuf(stream_, nullptr, _IOFBF, stream_buffer_size);
    return true;
  }
  FILE* stream() const { return stream_; }

  // Flushes and closes; false with errno set when a write or the close failed.
  bool close_checked() {
    int e = 0;
    if (fflush(stream_) != 0) e = errno != 0 ? errno : EIO;
    if (e == 0 && ferror(stream_)) e = EIO;
    errno = 0;
    if (fclose(stream_) != 0 && e == 0) e = errno != 0 ? errno : EIO;
    stream_ = nullptr;
    errno = e;
    return e == 0;
  }

 private:
  FILE* stream_ = nullptr;
};

// The two scratch files: removed by the destructor on every return path, and by the signal
// handlers of scratch_file_track while the run lasts. Only files this run created are removed.
class scratch_files {
 public:
  explicit scratch_files(const std::string& master)
      : names_{master + "catmerge1", master + "catmerge2"} {}
  scratch_files(const scratch_files&) = delete;
  scratch_files& operator=(const scratch_files&) = delete;
  ~scratch_files() {
    for (int i = 0; i < 2; ++i) {
      if (!used_[i]) continue;
      unlink(names_[i].c_str());
      scratch_file_untrack(names_[i]);
    }
  }

  const std::string& name(int i) const { return names_[i]; }
  // Registers file i for removal; called before it is created, so that a signal between
  // creating and registering cannot leave it behind.
  void use(int i) {
    if (used_[i]) return;
    used_[i] = true;
    scratch_file_track(names_[i]);
  }

 private:
  std::string names_[2];
  bool used_[2] = {false, false};
};

// The passes and steps of one run.
class catmerge_run {
 public:
  explicit catmerge_run(const catmerge_settings& s) : s_(s) {}

  // One step: the lines of B looked up in A's list, then the lines of A in B's list, all
  // written to `out`. Returns 0, 1 for a failed pass, or the negative result of a load.
  int urllist_process_lists(const char* a, const char* b, bool last, FILE* out);

 private:
  int urllist_merge_list(const char* file, urllist* list, int mode);
  int merge_line(char* line, size_t length, urllist* list, int mode);
  void merge_output(const line_fields& f, const category_set* merged);
  void write_own(const char* text);
  void write_set(const category_set& set);

  const catmerge_settings& s_;
  FILE* out_ = nullptr;
  const urllist_charset* charset_ = nullptr;
  std::string url_;
  std::string rest_;
  std::string diag_;
  std::string cats_text_;
  category_set matched_;
  category_set own_;
  category_set scratch_;
  line_fields fields_;
};

void catmerge_run::write_set(const category_set& set) {
  cats_text_.clear();
  set.append_to(cats_text_);
  fwrite(cats_text_.data(), 1, cats_text_.size(), out_);
}

// A category text of the line's own, without the general category when others are there; a
// text that keeps its set is written as it stands.
void catmerge_run::write_own(const char* text) {
  parse_numbers(text, &scratch_);
  if (scratch_.count() > 1 && scratch_.contains(general_category)) {
    scratch_.remove(general_category);
    write_set(scratch_);
  } else {
    fputs(text, out_);
  }
}

// Writes the line: with `merged`, in place of its own categories; without, with its own
// fields. A line without fields after the URL is no entry and is not written.
void catmerge_run::merge_output(const line_fields& f, const category_set* merged) {
  if (f.count < 2) return;
  FILE* out = out_;
  fputs(url_.c_str(), out);
  fputc(' ', out);
  if (f.count == 2) {
    if (merged != nullptr) {
      write_set(*merged);
    } else {
      write_own(f.field[1]);
    }
  } else {
    fputs(f.field[1], out);
    fputc(' ', out);
    if (f.count == 3) {
      if (merged != nullptr) {
        write_set(*merged);
      } else if (is_digit(f.field[2][0])) {
        write_own(f.field[2]);
      } else {
        fputs(f.field[2], out);
      }
    } else {
      fputs(f.field[2], out);
      fputc(' ', out);
      if (merged != nullptr) {
        write_set(*merged);
      } else if (is_category_word(f.field[2])) {
        write_own(f.field[3]);
      } else {
        fputs(f.field[3], out);
      }
    }
  }
  fputc('\n', out);
}

// Handles one line. Returns 0, or 1 when the line fails the pass (with -S).
int catmerge_run::merge_line(char* line, size_t length, urllist* list, int mode) {
  // The URL is the first white-space-delimited token; the rest runs from the white space
  // after it to the first carriage return.
  size_t i = 0;
  while (i < length && is_blank(line[i])) ++i;
  // Blank lines hold no entry; comment lines are skipped as the list loader skips them (a
  // comment never explodes, and with -S it would stop the run).
  if (i == length || line[i] == '#') return 0;
  size_t j = i;
  while (j < length && !is_blank(line[j])) ++j;
  url_.assign(line + i, j - i);
  size_t end = j;
  while (end < length && line[end] != '\r') ++end;
  rest_.assign(line + j, end - j);
  const char* url = url_.c_str();
  verbose_output("Matching URL with cats: %s%s\n", url, rest_.c_str());

  line_fields& f = fields_;
  f.split(rest_.data());
  const char* own = f.own_categories();

  urllist_exploded_url_ptr x = urllist_explode_charset(url_, &matched_, 0, 0, charset_);
  if (!x) {
    verbose_output("Fail to explode %s\n", url);
    if (f.stored_outside_url_trees(url)) {
      merge_output(f, nullptr);
      return 0;
    }
    return s_.stop_on_failure ? 1 : 0;
  }
  matched_.clear();
  own_.clear();
  urllist_action* action = nullptr;
  if (urllist_lookup_data(list, x.get(), &action) != 0) {
    verbose_output("Failed to found %s match any base url\n", url);
    merge_output(f, nullptr);
    return 0;
  }
  const bool is_category = urllist_action_get_category(action, &matched_) != 0;
  // The matched entry's text is needed for the messages and for the exact-match rules below;
  // the plain lookup is cheaper, so it is asked for only then (the walk is the same).
  diag_.clear();
  if (verbose || (!is_category && mode == MERGE_INPUTS) ||
      (is_category && own == nullptr && mode != MERGE_MASTER)) {
    urllist_action* again = nullptr;
    urllist_lookup_diag(list, x.get(), &again, &diag_);
  }
  x.reset();
  if (!is_category) {
    verbose_output("Found %s match the base URL (no categories assigned): %s\n", url,
                   diag_.c_str());
    if (!(mode == MERGE_INPUTS && url_ == diag_)) merge_output(f, nullptr);
    return 0;
  }
  if (verbose) {
    cats_text_.clear();
    matched_.append_to(cats_text_);
  }
  if (own == nullptr) {
    verbose_output("Found %s (No categories assigned) match the base url with cats: %s %s\n", url,
                   diag_.c_str(), cats_text_.c_str());
    if (!((mode == MERGE_INTERMEDIATE || mode == MERGE_INPUTS) && url_ == diag_)) {
      merge_output(f, nullptr);
    }
    return 0;
  }
  verbose_output("Found %s (categories %s) match the base url with cats: %s %s\n", url, own,
                 diag_.c_str(), cats_text_.c_str());
  parse_numbers(own, &own_);
  own_.add_all(matched_);
  drop_general(&own_);
  merge_output(f, &own_);
  return 0;
}

int catmerge_run::urllist_merge_list(const char* file, urllist* list, int mode) {
  if (file == nullptr || list == nullptr) {
    verbose_output("Error: no URL input file or URLLIST data provided ");
    return 1;
  }
  FILE* in = fopen(file, "r");
  if (in == nullptr) {
    verbose_output("Error: unable to open infile");
    return 1;
  }
  setvbuf(in, nullptr, _IOFBF, stream_buffer_size);
  std::unique_ptr<urllist_charset> charset;
  if (s_.charset) {
    charset = urllist_init_charset(s_.charset->c_str());
    if (!charset) {
      verbose_output("Fail to allocate memory for charset to check URLs.\n");
      fclose(in);
      return 1;
    }
  }
  charset_ = charset.get();
  line_reader reader;
  char* line;
  size_t length;
  int result = 0;
  while (reader.next(in, &line, &length)) {
    if (merge_line(line, length, list, mode) != 0) {
      result = 1;
      break;
    }
  }
  // A read error would otherwise look like the end of the file and lose the lines after it.
  if (result == 0 && ferror(in)) {
    fprintf(stderr, "Error reading %s: %s\n", file, strerror(errno));
    result = 1;
  }
  fclose(in);
  charset_ = nullptr;
  return result;
}

int catmerge_run::urllist_process_lists(const char* a, const char* b, bool last, FILE* out) {
  out_ = out;
  const char* charset = s_.charset ? s_.charset->c_str() : nullptr;
  const char* files[2] = {a, b};
  const int modes[2] = {last ? MERGE_MASTER : MERGE_INTERMEDIATE,
                        last ? MERGE_INPUTS : MERGE_INTERMEDIATE};
  // Pass 0 reads B against A's list, pass 1 reads A against B's list.
  for (int pass = 0; pass < 2; ++pass) {
    const char* loaded = files[pass];
    const char* read = files[1 - pass];
    urllist_ptr list = urllist_with_charset_initialize(0, charset);
    if (!list) {
      verbose_output("Failed to create URL list\n");
      return 1;
    }
    int rc = urllist_add_file(list.get(), loaded, URLLIST_TYPE_FULL);
    if (rc != 0) {
      verbose_output("Error loading file %s\n", loaded);
      return rc;
    }
    rc = urllist_merge_list(read, list.get(), modes[pass]);
    if (rc != 0) {
      verbose_output("Error merging file %s\n", read);
      return rc;
    }
    if (last && pass == 1) {
      urllist_release_at_exit(std::move(list));  // the run's last list: the kernel takes it back
    } else {
      urllist_terminate(std::move(list));  // before the next list is loaded
    }
  }
  return 0;
}

// Parses the command line. Returns -1 to go on, or the exit status when the run ends here.
int catmerge_parse_options(int argc, char** argv, catmerge_settings* s) {
  int c;
  while ((c = getopt(argc, argv, option_string)) != -1) {
    switch (c) {
      case 'h':
        usage();
        return CATMERGE_EXIT_OK;
      case 'v':
        printf("Corvane List Category Merge %s Build: %s\n", CV_VERSION, cv_build_stamp());
        return CATMERGE_EXIT_OK;
      case 'V':
        verbose = true;
        break;
      case 'S':
        s->stop_on_failure = true;
        break;
      case 'f':
        s->master = optarg;
        break;
      case 'i':
        if (s->inputs.size() < max_inputs) {
          s->inputs.emplace_back(optarg);
        } else {
          fprintf(stderr, "Too many input list files. File %s ignored.\n", optarg);
        }
        break;
      case 'o':
        if (optarg[0] == '-') {
          s->output_path.reset();
        } else {
          s->output_path = optarg;
        }
        break;
      case 'k':
        s->charset = optarg;
        break;
      default:  // -K (no effect), or a letter getopt has complained about
        break;
    }
  }
  return -1;
}

// The name `path` resolves to, with its folder made absolute and free of links ("x", "./x"
// and "/here/x" give the same text); the path itself when its folder cannot be resolved.
std::string resolved_name(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  char* real = realpath(dir.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  free(real);  // allocated by realpath
  if (out != "/") out += '/';
  return out + base;
}

// Files the run must not write or remove: an output that is an input or the master would be
// replaced before the run is over, and a file that has the name of a scratch file would be
// removed (an input or the master) or replaced and then removed (the output).
bool catmerge_check_files(const catmerge_settings& s) {
  std::vector<std::string> read = s.inputs;
  read.push_back(*s.master);
  const char* output = s.output_path ? s.output_path->c_str() : nullptr;
  if (const char* clash = output_clashes_with_inputs(output, read)) {
    fprintf(stderr, "Error: output file %s is the same file as the input %s. Nothing written.\n",
            output, clash);
    return false;
  }
  std::vector<std::string> named = read;
  if (output != nullptr) named.push_back(*s.output_path);
  const std::string scratch[2] = {resolved_name(*s.master + "catmerge1"),
                                  resolved_name(*s.master + "catmerge2")};
  for (const std::string& f : named) {
    std::string r = resolved_name(f);
    if (r == scratch[0] || r == scratch[1]) {
      fprintf(stderr,
              "Error: %s is the name of a scratch file of this merge (the master file name "
              "followed by catmerge1 or catmerge2). Nothing written.\n",
              f.c_str());
      return false;
    }
  }
  return true;
}

// Runs the chain of steps. Returns the exit status.
int catmerge_chain(const catmerge_settings& s) {
  scratch_files scratch(*s.master);
  catmerge_run run(s);
  const size_t n = s.inputs.size();
  int first_failure = 0;
  int last_result = 0;
  for (size_t k = 0; k < n; ++k) {
    const bool last = k + 1 == n;
    // Step k writes scratch file 1 ("catmerge2") when k is even, 0 ("catmerge1") when odd.
    const char* a = k == 0 ? s.inputs[0].c_str() : scratch.name(k % 2 == 1 ? 1 : 0).c_str();
    const char* b = last ? s.master->c_str() : s.inputs[k + 1].c_str();
    verbose_output("Process files: %s, %s\n", a, b);
    output_file final_out;
    scratch_writer step_out;
    const char* out_name;
    FILE* out;
    if (last) {
      // An empty name cannot be created (output_file would take it for standard output).
      if ((s.output_path && s.output_path->empty()) ||
          !final_out.open(s.output_path ? s.output_path->c_str() : nullptr)) {
        fputs("Error: unable to open outfile", stderr);
        return CATMERGE_EXIT_FAILURE;
      }
      out_name = final_out.name();
      out = final_out.stream();
    } else {
      const int i = k % 2 == 0 ? 1 : 0;
      scratch.use(i);
      if (!step_out.open(scratch.name(i))) {
        fputs("Error: unable to open outfile", stderr);
        return CATMERGE_EXIT_FAILURE;
      }
      out_name = scratch.name(i).c_str();
      out = step_out.stream();
    }
    verbose_output("Output file: %s\n", out_name);
    int rc = run.urllist_process_lists(a, b, last, out);
    if (rc != 0 && s.stop_on_failure) {
      fprintf(stderr, "Error: Failed to merge files: %s and %s\n", a, b);
      return rc;  // the destructors discard the output and remove the scratch files
    }
    if (last) {
      // An output of a failed last step lacks entries: the name keeps what it had.
      if (rc != 0) {
        final_out.discard();
      } else if (!final_out.commit_or_report()) {
        return CATMERGE_EXIT_FAILURE;
      }
    } else if (!step_out.close_checked()) {
      fprintf(stderr, "Failed to write %s: %s\n", out_name, strerror(errno));
      return CATMERGE_EXIT_FAILURE;
    }
    if (rc != 0 && first_failure == 0) first_failure = rc;
    last_result = rc;
  }
  return last_result != 0 ? last_result : first_failure;
}

}  // namespace

static int catmerge_run_program(int argc, char** argv) {
  // glibc raises its mmap threshold to the size of each large block freed. Once the first
  // list of a step is released (its tables are blocks of megabytes), the second list's
  // growing tables would come from the heap, and each outgrown copy would stay there as a
  // hole: 14 MB more at the peak with a 1,000,000-line master. A fixed threshold keeps large
  // blocks in mappings of their own, returned when freed.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  catmerge_settings s;
  int status = catmerge_parse_options(argc, argv, &s);
  if (status >= 0) {
    // -h, -v and option errors: what they printed is the result of the run.
    if (!cv_stdout_close_checked() && status == 0) status = 1;
    return status;
  }
  if (!s.master || s.inputs.empty()) {
    fputs("Please enter master file and input files to merge categories.\n\n", stderr);
    usage();
    return CATMERGE_EXIT_FAILURE;
  }
  if (!catmerge_check_files(s)) return CATMERGE_EXIT_FAILURE;
  // A negative load result leaves as its low byte (-4 gives 252).
  return catmerge_chain(s) & 0xff;
}

int main(int argc, char** argv) {
  if (!cv_program_init()) return 1;
  return cv_program_run([&] { return catmerge_run_program(argc, argv); });
}
