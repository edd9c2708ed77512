// cvlistreduce: removes the category entries of a list file that another entry of the same
// list already covers (the same URL, or a broader one with the same categories and a
// compatible scheme), writing the surviving lines to the output and the redundant ones to a
// second file or standard error.
//
// Exit status: 0 on success; 1 for a bad option value, an output that is an input, a list that
// cannot be sorted or loaded, and a failed write; 255 when the reduce list cannot be created or
// a file of the second pass cannot be opened.
//
// The sorted copy of the input is a scratch file in $TMPDIR (when it is an absolute path) or
// /tmp, created exclusively with mode 0600 and removed on every way out, signals included.
//
// Two environment variables serve the tests and the benchmark: CVLISTREDUCE_NO_SHORTCUTS runs
// every lookup the shortcuts would skip (the results must not change), CVLISTREDUCE_STATS
// prints the heap after the first pass and the lookup counters on standard error.

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "listreduce.h"
#include "util/program.h"
#include "util/version.h"
#include "util/output_file.h"

namespace {

enum listreduce_exit : int {
  LISTREDUCE_EXIT_OK = 0,
  LISTREDUCE_EXIT_FAILURE = 1,
  LISTREDUCE_EXIT_NO_LIST = 255,
};

constexpr const char* option_string = "chvi:r:o:p:V";

const char* const usage_lines[] = {
    "usage: cvlistreduce options",
    "\t-h\t\tDisplay this help.",
    "\t-v\t\tDisplay the version of this tool.",
    "\t-c\t\tDo not compare category information.",
    "\t-i filename\tThe filename of the list file to reduce",
    "\t-o filename\tThe filename to store the reduced file",
    "\t-r filename\tStore the redundant list entries",
    "\t-V\t\tDisplay reduntant entry to stderr when there is no -r option",
    // One element, split only to keep the source within its width.
    ("\t-p increment\tPrint every \"increment\" line number being processed. E.g. -p 10 = print "
     "every tenth line number"),
};

void usage() {
  for (const char* line : usage_lines) {
    fputs(line, stdout);
    fputc('\n', stdout);
  }
}

struct listreduce_settings {
  bool compare = true;
  bool verbose = false;
  bool progress = false;
  long long increment = 1;
  std::optional<std::string> input;
  std::optional<std::string> output;
  std::optional<std::string> redundant;
};

// A whole decimal number of at least 1; anything else is refused.
bool parse_increment(const char* text, long long* value) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 1) return false;
  *value = v;
  return true;
}

// Returns -1 to go on, or the exit status when the run ends here.
int listreduce_parse_options(int argc, char** argv, listreduce_settings* s) {
  int c;
  try {
    while ((c = getopt(argc, argv, option_string)) != -1) {
      switch (c) {
        case 'h':
          usage();
          return LISTREDUCE_EXIT_OK;
        case 'v':
          printf("Corvane List Reduce %s Build: %s\n", CV_VERSION, cv_build_stamp());
          return LISTREDUCE_EXIT_OK;
        case 'c':
          s->compare = false;
          break;
        case 'i':
          s->input = optarg;
          break;
        case 'o':
          s->output = optarg;
          break;
        case 'r':
          s->redundant = optarg;
          break;
        case 'V':
          s->verbose = true;
          break;
        case 'p':
          if (!parse_increment(optarg, &s->increment)) {
            fprintf(stderr, "Invalid progress increment %s\n", optarg);
            usage();
            return LISTREDUCE_EXIT_FAILURE;
          }
          s->progress = true;
          break;
        default:  // getopt has complained already
          break;
      }
    }
  } catch (const std::bad_alloc&) {
    perror("Out of memory error");
    return LISTREDUCE_EXIT_FAILURE;
  }
  return -1;
}

// Refuses an output that is the input (it would be replaced before the copy is read back,
// or the redundant lines would overwrite the result). Returns -1 to go on.
int listreduce_check_outputs(const listreduce_settings& s) {
  if (!s.input) return -1;
  std::vector<std::string> inputs{*s.input};
  const char* out = s.output ? s.output->c_str() : nullptr;
  const char* red = s.redundant ? s.redundant->c_str() : nullptr;
  if (const char* clash = output_clashes_with_inputs(out, inputs)) {
    fprintf(stderr, "Error output file %s is the same file as the input %s. Nothing written.\n",
            out, clash);
    return LISTREDUCE_EXIT_FAILURE;
  }
  if (const char* clash = output_clashes_with_inputs(red, inputs)) {
    fprintf(stderr, "Error redundant file %s is the same file as the input %s. Nothing written.\n",
            red, clash);
    return LISTREDUCE_EXIT_FAILURE;
  }
  // Two names for one regular file (or one name not yet there): the later rename would
  // replace the other result. Devices such as /dev/null may take both.
  struct stat st;
  bool device = out != nullptr && stat(out, &st) == 0 && !S_ISREG(st.st_mode);
  if (out != nullptr && red != nullptr && strcmp(out, "-") != 0 && !device &&
      (strcmp(out, red) == 0 || file_same(out, red))) {
    fprintf(stderr, "Error redundant file %s is the same file as the output %s. Nothing written.\n",
            red, out);
    return LISTREDUCE_EXIT_FAILURE;
  }
  return -1;
}

// The sorted copy's name: "<dir>/<input name>_reduce_<pid>_<time>.dat".
std::string copy_path_for(const std::string& input) {
  std::string dir = "/tmp";
  const char* tmp = getenv("TMPDIR");
  if (tmp != nullptr && tmp[0] == '/') {
    dir = tmp;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir == "/") dir.clear();
  }
  size_t slash = input.rfind('/');
  std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
  return dir + "/" + base + "_reduce_" + std::to_string(getpid()) + "_" +
         std::to_string(static_cast<long long>(time(nullptr))) + ".dat";
}

// Removes the sorted copy when the run ends, whichever way.
class scratch_guard {
 public:
  explicit scratch_guard(std::string path) : path_(std::move(path)) {}
  ~scratch_guard() {
    if (tracked_) {
      unlink(path_.c_str());
      scratch_file_untrack(path_);
    }
  }
  scratch_guard(const scratch_guard&) = delete;
  scratch_guard& operator=(const scratch_guard&) = delete;
  bool track() { return tracked_ = scratch_file_track(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool tracked_ = false;
};

struct file_closer {
  void operator()(FILE* f) const {
    if (f != nullptr) fclose(f);
  }
};

bool stream_ok(output_file& f) {
  return fflush(f.stream()) == 0 && ferror(f.stream()) == 0 && f.error() == 0;
}

// Publishes the output and the redundant file, or neither when a write to either failed.
int listreduce_finish(output_file& out, output_file* red) {
  bool out_ok = stream_ok(out);
  bool red_ok = red == nullptr || stream_ok(*red);
  if (!out_ok || !red_ok) {
    if (!out_ok) {
      out.commit_or_report();
    } else {
      out.discard();
    }
    if (red != nullptr) {
      if (!red_ok) {
        red->commit_or_report();
      } else {
        red->discard();
      }
    }
    return LISTREDUCE_EXIT_FAILURE;
  }
  bool ok = out.commit_or_report();
  if (red != nullptr) ok = red->commit_or_report() && ok;
  return ok ? LISTREDUCE_EXIT_OK : LISTREDUCE_EXIT_FAILURE;
}

int listreduce_main(listreduce* r, const listreduce_settings& s) {
  std::optional<scratch_guard> copy;
  size_t lines = 0;
  int sorted = 1;
  if (s.input) {
    try {
      copy.emplace(copy_path_for(*s.input));
    } catch (const std::bad_alloc&) {
      fprintf(stderr, "Error sorting input file %s\n", s.input->c_str());
      return LISTREDUCE_EXIT_FAILURE;
    }
    // Tracked before it exists, so that a signal during the sort removes it too.
    if (!copy->track()) {
      fprintf(stderr, "Error sorting input file %s\n", s.input->c_str());
      return LISTREDUCE_EXIT_FAILURE;
    }
    sorted = cvlistreduce_sort(s.input->c_str(), copy->path().c_str(), &lines, r);
  }
  // A copy that could not be written whole is not loaded: its missing lines would be lost.
  if (sorted != 0) {
    fprintf(stderr, "Error loading file %s\n", copy ? copy->path().c_str() : "(null)");
    return LISTREDUCE_EXIT_FAILURE;
  }
  listreduce_prepare(r, lines);
  int rc = cvlistreduce_add_file(r, copy->path().c_str(), s.progress, s.increment, s.compare);
  if (getenv("CVLISTREDUCE_STATS") != nullptr) {
    struct mallinfo2 m = mallinfo2();
    fprintf(stderr, "after the first pass: heap %zu bytes, %zu records, %zu sets, %zu below\n",
            m.uordblks, r->entries.size(), r->categories.size(), r->below.size());
  }
  if (rc == LISTREDUCE_FATAL) return LISTREDUCE_EXIT_FAILURE;
  if (rc != 0) {
    fprintf(stderr, "Error loading file %s\n", copy->path().c_str());
    return LISTREDUCE_EXIT_FAILURE;
  }

  std::unique_ptr<FILE, file_closer> in(fopen(copy->path().c_str(), "r"));
  if (!in) {
    perror("Fail to open input file");
    return LISTREDUCE_EXIT_NO_LIST;
  }
  output_file out;
  if (!out.open(s.output ? s.output->c_str() : nullptr)) {
    perror("Fail to open output file");
    return LISTREDUCE_EXIT_NO_LIST;
  }
  output_file red;
  FILE* redundant = nullptr;
  if (s.redundant) {
    if (!red.open(s.redundant->c_str())) {
      perror("Fail to open redundant file");
      return LISTREDUCE_EXIT_NO_LIST;
    }
    redundant = red.stream();
  } else if (s.verbose) {
    redundant = stderr;
  }
  r->compare = s.compare;
  r->progress = s.progress;
  r->increment = s.increment;
  if (listreduce_reduce_file(r, in.get(), out.stream(), redundant) != 0) {
    return LISTREDUCE_EXIT_FAILURE;
  }
  in.reset();
  return listreduce_finish(out, s.redundant ? &red : nullptr);
}

}  // namespace

static int listreduce_run_program(int argc, char** argv) {
  std::unique_ptr<listreduce> r = listreduce_initialize();
  if (!r) return LISTREDUCE_EXIT_NO_LIST;
  listreduce_settings s;
  int status = listreduce_parse_options(argc, argv, &s);
  if (status >= 0) {
    // -h, -v and option errors: what they printed is the result of the run.
    if (!cv_stdout_close_checked() && status == 0) status = 1;
    return status;
  }
  status = listreduce_check_outputs(s);
  if (status >= 0) return status;
  if (getenv("CVLISTREDUCE_NO_SHORTCUTS") != nullptr) r->shortcuts = false;
  status = listreduce_main(r.get(), s);
  if (getenv("CVLISTREDUCE_STATS") != nullptr) {
    fprintf(stderr, "lookups %ju skipped %ju written %ju redundant %ju\n",
            static_cast<uintmax_t>(r->stats.lookups), static_cast<uintmax_t>(r->stats.skipped),
            static_cast<uintmax_t>(r->stats.written), static_cast<uintmax_t>(r->stats.redundant));
  }
  // The run is over: the kernel takes the lists back in bulk.
  urllist_release_at_exit(std::move(r->list));
  urllist_release_at_exit(std::move(r->scheme_list));
  return status;
}

int main(int argc, char** argv) {
  if (!cv_program_init()) return 1;
  return cv_program_run([&] { return listreduce_run_program(argc, argv); });
}
