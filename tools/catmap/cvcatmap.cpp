// cvcatmap: rewrites the category field of a category list from the newest category version
// to one or more older versions, or dumps the composed mapping rules.
//
// The hot loop reads the input in large blocks with read(2), finds lines with memchr, maps the
// category field in a reused set and writes through a large stdio buffer: no allocation per
// line once the buffers have grown to the longest line.

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catmapping_lib.h"
#include "cvpath.h"
#include "util/category_set.h"
#include "util/cvlog.h"
#include "util/output_file.h"
#include "util/program.h"
#include "util/version.h"

namespace {

enum cvcatmap_exit : int {
  CVCATMAP_EXIT_OK = 0,
  CVCATMAP_EXIT_FAILURE = 1,
  CVCATMAP_EXIT_USAGE = 255,
};

constexpr size_t io_buffer_size = 1 << 20;

// Process-wide settings, filled from the command line.
struct cvcatmap_settings {
  const char* input = nullptr;   // null: standard input
  const char* output = nullptr;  // null: standard output
  const char* prefix = nullptr;
  int field_index = 3;
  int version = 1;
  bool have_versions = false;
  std::vector<std::string> versions;
  std::string mapping_file;
  const char* custom_file = nullptr;
  std::string removing = "0";
  bool dump_stdout = false;
  const char* dump_file = nullptr;
  int keep_new_url = 1;
};

cvcatmap_settings settings;
std::unique_ptr<catmappingobj> mapping;
bool stdout_failure_reported = false;

// atoi without the undefined behaviour on overflow: out-of-range values saturate.
int cv_atoi(const char* s) {
  long v = strtol(s, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// Splits at every "," keeping empty pieces ("1,,2" gives "1", "" and "2").
std::vector<std::string> split_versions(std::string_view text) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) {
      out.emplace_back(text.substr(pos));
      return out;
    }
    out.emplace_back(text.substr(pos, comma - pos));
    pos = comma + 1;
  }
}

void write_all(int fd, const char* p, size_t n, bool& ok) {
  while (n > 0 && ok) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// An anonymous scratch file (gone when closed) for standard input that must be read twice.
int open_spool() {
  const char* dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string tmpl = std::string(dir) + "/cvcatmap.XXXXXX";
  fd = mkstemp(tmpl.data());
  if (fd >= 0) unlink(tmpl.c_str());
  return fd;
}

// True (after a message) when the output `path` is the same file as the mapping file, the
// custom mapping file or the category list: writing it would replace the data it is made
// from. `what` names the output in the message ("list file", "dump file").
bool output_is_an_input(const char* path, const char* what) {
  struct input {
    const char* path;
    const char* role;
  };
  const input inputs[] = {
      {settings.input, "the input file"},
      {settings.mapping_file.c_str(), "the category mapping file"},
      {settings.custom_file, "the custom mapping file"},
  };
  for (const input& in : inputs) {
    if (in.path == nullptr || !file_same(path, in.path)) continue;
    cvlog_send(CVLOG_ERROR, "Refusing to write %s %s: it is %s.\n", what, path, in.role);
    return true;
  }
  return false;
}

// The category list being converted. It is opened by the first version that reads it and read
// again from its start by every later version: a regular file is sought back, anything else
// (a pipe, a terminal, a FIFO) is copied once into a scratch file, so that several versions
// never see a drained stream.
class list_input {
 public:
  list_input(const char* path, size_t passes) : path_(path), passes_(passes) {}
  ~list_input() { close_input(); }
  list_input(const list_input&) = delete;
  list_input& operator=(const list_input&) = delete;

  const char* name() const { return path_ ? path_ : "STDIN"; }
  // The input as it was opened (before any scratch copy), for the same-file check.
  const struct stat& status() const { return st_; }

  // Positions the input at the start of the list for one more version. On failure the
  // messages are written and false is returned.
  bool begin_pass() {
    if (broken_) return false;
    if (fd_ < 0 && !open_input()) return false;
    if (passes_ > 1 && lseek(fd_, origin_, SEEK_SET) < 0) {
      cvlog_send(CVLOG_ERROR, "Failed to read category list file '%s' again.\n", name());
      return false;
    }
    begin_ = end_ = scanned_ = 0;
    eof_ = false;
    read_errno_ = 0;
    return true;
  }

  // The next complete line without its newline and one carriage return before it. The view
  // stays valid until the next call. False at end of input or on a read error.
  bool next_line(std::string_view& line) {
    for (;;) {
      if (const void* nl = memchr(buf_.data() + scanned_, '\n', end_ - scanned_)) {
        size_t at = static_cast<size_t>(static_cast<const char*>(nl) - buf_.data());
        size_t len = at - begin_;
        if (len > 0 && buf_[at - 1] == '\r') --len;
        line = std::string_view(buf_.data() + begin_, len);
        begin_ = scanned_ = at + 1;
        return true;
      }
      scanned_ = end_;
      if (eof_) return false;
      if (begin_ > 0) {
        memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        scanned_ = end_;
        begin_ = 0;
      }
      if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);  // a line longer than the buffer
      ssize_t n = read(fd_, buf_.data() + end_, buf_.size() - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) read_errno_ = errno;
        eof_ = true;
        return false;
      }
      end_ += static_cast<size_t>(n);
    }
  }

  bool read_failed() const { return read_errno_ != 0; }
  // Bytes after the last newline once the input has ended (not a line of the list).
  std::string_view unterminated_tail() const {
    return std::string_view(buf_.data() + begin_, end_ - begin_);
  }

  void close_input() {
    if (fd_ >= 0 && fd_ != STDIN_FILENO) close(fd_);
    fd_ = -1;
  }

 private:
  bool open_input() {
    int fd = STDIN_FILENO;
    if (path_) {
      fd = open(path_, O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        cvlog_send(CVLOG_ERROR, "Could not open file %s mode %s\n", path_, "r");
        cvlog_send(CVLOG_ERROR, "Could not open category list file '%s'.\n", path_);
        return false;
      }
    }
    if (fstat(fd, &st_) != 0) memset(&st_, 0, sizeof st_);
    buf_.resize(io_buffer_size);
    if (passes_ <= 1 || S_ISREG(st_.st_mode) || S_ISBLK(st_.st_mode)) {
      fd_ = fd;
      origin_ = passes_ > 1 ? lseek(fd, 0, SEEK_CUR) : 0;
      if (origin_ < 0) origin_ = 0;
      return true;
    }
    int spool = open_spool();
    bool ok = spool >= 0;
    for (;;) {
      if (!ok) break;
      ssize_t n = read(fd, buf_.data(), buf_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      write_all(spool, buf_.data(), static_cast<size_t>(n), ok);
    }
    if (fd != STDIN_FILENO) close(fd);
    if (!ok) {
      cvlog_send(CVLOG_ERROR, "Failed to keep a copy of category list '%s' for every version.\n",
                 name());
      if (spool >= 0) close(spool);
      broken_ = true;
      return false;
    }
    spooled_ = true;
    fd_ = spool;
    origin_ = 0;
    return true;
  }

  const char* path_;
  size_t passes_;
  int fd_ = -1;
  bool spooled_ = false;
  bool broken_ = false;
  off_t origin_ = 0;
  struct stat st_ {};
  std::vector<char> buf_;
  size_t begin_ = 0, end_ = 0, scanned_ = 0;
  bool eof_ = false;
  int read_errno_ = 0;
};

// A converted list: a file written through a temporary file and moved to its name once
// complete, or standard output. One object may receive several versions' lists in turn; it
// is closed once, at the end.
class list_output {
 public:
  explicit list_output(const char* path) : path_(path) {}
  // An output that was not closed by close_output() is unfinished (the run is ending on an
  // exception): it is discarded, and an existing file under the name stays as it was.
  ~list_output() { abandon(); }
  list_output(const list_output&) = delete;
  list_output& operator=(const list_output&) = delete;

  const char* name() const { return path_ ? path_ : "STDOUT"; }
  FILE* stream() const { return out_.stream(); }
  bool failed() const { return failed_; }

  // Opens the output unless it is open already. Refuses, before anything is written, an
  // output that is the input file itself.
  bool open(const struct stat& input) {
    if (out_.stream()) return true;
    if (failed_) return false;
    if (path_ && output_is_an_input(path_, "list file")) {
      failed_ = true;
      return false;
    }
    struct stat st;
    bool exists = path_ ? stat(path_, &st) == 0 : fstat(STDOUT_FILENO, &st) == 0;
    if (exists && S_ISREG(input.st_mode) && S_ISREG(st.st_mode) && st.st_dev == input.st_dev &&
        st.st_ino == input.st_ino) {
      if (path_)
        cvlog_send(CVLOG_ERROR, "Refusing to write list file %s: it is the input file.\n", path_);
      else
        cvlog_send(CVLOG_ERROR, "Refusing to write STDOUT: it is the input file.\n");
      return false;
    }
    if (!out_.open(path_)) {
      cvlog_send(CVLOG_ERROR, "Failed to open new list file for writing %s\n", path_);
      failed_ = true;
      return false;
    }
    return true;
  }

  // Reports a write error once; nothing is left under the output name. Later versions for
  // this output are skipped.
  void report_failure() {
    if (failed_) return;
    failed_ = true;
    cvlog_send(CVLOG_ERROR, "Failed to write list file %s\n", name());
    if (!path_) {
      stdout_failure_reported = true;
      return;
    }
    out_.discard();
  }

  // Gives the output up without a message (the caller reported why): nothing is left under
  // the name, and later versions for this output are skipped.
  void abandon() {
    if (!out_.stream()) return;
    failed_ = true;
    if (path_) out_.discard();
  }

  // Pushes the buffered list out; false (reported) when writing failed.
  bool flush() {
    FILE* f = out_.stream();
    if (!f) return !failed_;
    if (fflush(f) != 0 || ferror(f) || out_.error() != 0) {
      report_failure();
      return false;
    }
    return true;
  }

  // Closes a file and moves it to its name; standard output is only flushed (main closes it
  // last).
  bool close_output() {
    if (!out_.stream()) return !failed_;
    bool ok = flush();
    if (ok && path_ && !out_.commit()) {
      failed_ = true;
      cvlog_send(CVLOG_ERROR, "Failed to write list file %s\n", path_);
      return false;
    }
    return ok;
  }

 private:
  const char* path_;
  output_file out_;
  bool failed_ = false;
};

// The library's error text without its closing newline (the messages that quote it add
// their own ending), or `fallback` when there is none.
std::string library_error(const char* fallback) {
  std::optional<std::string> err = catmapping_lib_error();
  if (!err) return fallback;
  while (!err->empty() && (err->back() == '\n' || err->back() == '.')) err->pop_back();
  return *err;
}

void send_line_message(const char* what, std::string_view line) {
  cvlog_send(CVLOG_ERROR, "%s in line: %.*s.\n", what, static_cast<int>(line.size()), line.data());
}

// Converts the list once for `version`: the input from its start, into `out`.
int convert_pass(list_input& in, int field_index, int version, list_output& out) {
  if (!in.begin_pass()) return 1;
  if (!out.open(in.status())) return 1;
  if (out.failed()) return 1;

  std::unique_ptr<custommappingobj> custom;
  if (settings.custom_file) {
    custom = catmapping_lib_custom_create(mapping.get(), version, settings.custom_file,
                                          settings.removing);
    if (!custom) {
      cvlog_send(CVLOG_ERROR, "Failed to load custom category mapping object: %s.\n",
                 library_error("unknown error").c_str());
    }
  }
  if (settings.dump_stdout) {
    if (custom)
      catmapping_lib_custom_dump_mapping(custom.get(), stdout);
    else
      catmapping_lib_dump_mapping(mapping.get(), stdout, version);
  }

  FILE* f = out.stream();
  category_set cats;
  std::string formatted;
  std::string_view line;
  const size_t field = static_cast<size_t>(field_index);
  while (in.next_line(line)) {
    if (line.empty() || line[0] == '#') {
      fwrite_unlocked(line.data(), 1, line.size(), f);
      putc_unlocked('\n', f);
    } else {
      // The category field: `field`-th piece between single spaces.
      const char* p = line.data();
      const size_t n = line.size();
      size_t start = 0, index = 1;
      while (index < field) {
        const void* sp = memchr(p + start, ' ', n - start);
        if (!sp) break;
        start = static_cast<size_t>(static_cast<const char*>(sp) - p) + 1;
        ++index;
      }
      if (index < field) {
        send_line_message("Not enough tokens", line);
        continue;
      }
      const void* sp = memchr(p + start, ' ', n - start);
      size_t end = sp ? static_cast<size_t>(static_cast<const char*>(sp) - p) : n;

      cats.clear();
      catmapping_lib_parse_categories(line.substr(start, end - start), cats);
      if (cats.empty()) {
        send_line_message("Invalid category number", line);
        continue;
      }
      if (custom)
        catmapping_lib_custom_mapcats(custom.get(), &cats);
      else
        catmapping_lib_mapcats(mapping.get(), version, &cats);
      if (cats.contains(CATMAPPING_CAT_NEW_URL)) continue;

      formatted.clear();
      cats.append_to(formatted);
      fwrite_unlocked(p, 1, start, f);
      fwrite_unlocked(formatted.data(), 1, formatted.size(), f);
      fwrite_unlocked(p + end, 1, n - end, f);
      putc_unlocked('\n', f);
    }
    if (ferror_unlocked(f)) break;
  }

  int status = 0;
  if (ferror_unlocked(f)) {
    out.report_failure();
    return 1;
  }
  if (in.read_failed()) {
    cvlog_send(CVLOG_ERROR, "Failed to read category list file '%s'.\n", in.name());
    // A list cut short must not replace the previous one.
    out.abandon();
    return 1;
  } else if (std::string_view tail = in.unterminated_tail(); !tail.empty()) {
    // Every reader of the suite ignores a last line without newline; say so instead of
    // losing it silently.
    cvlog_send(CVLOG_ERROR, "Last line without newline not converted: %.*s.\n",
               static_cast<int>(tail.size()), tail.data());
  }
  if (!out.flush()) status = 1;
  return status;
}

void print_usage(const char* prog) {
  printf("Corvane Category Mapping Utility %s Build: %s\n", CV_VERSION, cv_build_stamp());
  printf("Usage: %s [options]\n\n", prog);
  puts(
      "  -i inputfile\t\tCategory list input file name (e.g. masterlist or Category URL list).\n"
      "\t\t\tIt accepts input from STDIN if not specified. The input format is:\n"
      "\t\t\t\t# <URL><SPACE><Number of characters in the URL><SPACE><Category of the URL>");
  puts(
      "  -o outputfile\t\tCategory list output file full name including path.\n"
      "\t\t\tIt writes output to STDOUT if not specified.\n"
      "\t\t\tThe output format is the same as the input format, but the Categories have been "
      "mapped.");
  puts(
      "  -O outputfileprefix\tOutput category list file name prefix when mapping to multiple "
      "versions. It will be appended by _catver_VERSION.dat");
  puts(
      "  -f fieldindex\t\tIndex of the Category field in the list input file.\n"
      "\t\t\tDefaults to 3 to select the third field as the category number.");
  puts(
      "  -v catversion\t\tCategory version number to map to from the latest version, default 1 "
      "for the first version.");
  puts(
      "  -V catversions\tMultiple category versions to map to from the latest version.\n"
      "\t\t\tThe output can be written into multiple files with option -O outputfileprefix.");
  puts(
      "  -m catmappingfile\tCategory mappings file. Defines the new destination Category to use "
      "for each specified source Category.\n"
      "\t\t\tThe default catmapping file CV_PATH/var/lib/lists/catmapping.dat. The format is:\n"
      "\t\t\t\t# <CAT VERSION><SPACE><SOURCE CAT><SPACE><DESTINATION CAT>");
  puts(
      "  -c custommappingfile\tCustom category mappings file, no custom mapping if not "
      "specified.\n"
      "\t\t\tUse similar format as the catmapping file. The catversion must be set to 0.");
  puts(
      "  -r removingcats\tMapping destination categories that make the source categories "
      "removed from the original category set.\n"
      "\t\t\tDefaults to 0");
  puts(
      "  -d\t\t\tOption to dump cascaded rules to STDOUT when mapping for a specific category "
      "version.");
  puts("  -D catmappingdumpfile\tDump cascaded mapping rules to a file and exit.");
  puts("  -h\t\t\tPrint this usage.");
  puts("  -b\t\t\tDisplay the build version of the tool.");
  puts("");
}

}  // namespace

void cvcatmap_print_usage(const char* prog) { print_usage(prog); }

// Fills the settings; returns -1 to go on, or the exit status to end with.
int cvcatmap_parse_command_line(int argc, char** argv) {
  int c;
  while ((c = getopt(argc, argv, "i:o:O:f:v:V:m:D:c:r:dhb")) != -1) {
    switch (c) {
      case 'i':
        settings.input = optarg;
        break;
      case 'o':
        settings.output = optarg;
        break;
      case 'O':
        settings.prefix = optarg;
        break;
      case 'f':
        settings.field_index = cv_atoi(optarg);
        if (settings.field_index <= 0) {
          fputs("Category field index should be greater than 0.\n", stderr);
          cvcatmap_print_usage(argv[0]);
          return CVCATMAP_EXIT_USAGE;
        }
        break;
      case 'v':
        settings.version = cv_atoi(optarg);
        break;
      case 'V':
        settings.have_versions = true;
        settings.versions = split_versions(optarg);
        break;
      case 'm':
        settings.mapping_file = optarg;
        break;
      case 'c':
        settings.custom_file = optarg;
        break;
      case 'r':
        settings.removing = optarg;
        break;
      case 'd':
        settings.dump_stdout = true;
        break;
      case 'D':
        settings.dump_file = optarg;
        break;
      case 'b':
        printf("Corvane Category Mapping Utility %s Build: %s\n", CV_VERSION, cv_build_stamp());
        return CVCATMAP_EXIT_OK;
      case 'h':
      default:
        cvcatmap_print_usage(argv[0]);
        return CVCATMAP_EXIT_USAGE;
    }
  }
  return -1;
}

// Converts one list for one version. 0, or 1 when a file could not be opened, read or written.
int cvcatmap_convert(const char* input, int field_index, int version, const char* output) {
  list_input in(input, 1);
  list_output out(output);
  int status = convert_pass(in, field_index, version, out);
  in.close_input();
  if (!out.close_output()) status = 1;
  return status;
}

// Converts the list for every version in order. With a prefix each version gets its own file;
// without one, every version's list goes in order to the one output (-o file or standard
// output), truncated once. 0, or 1 when any version failed.
int cvcatmap_convert_multiple(const char* input, int field_index,
                              const std::vector<std::string>& versions, const char* prefix) {
  int status = 0;
  list_input in(input, versions.size());
  list_output shared(settings.output);
  for (const std::string& text : versions) {
    int version = cv_atoi(text.c_str());
    if (prefix) {
      std::string name = std::string(prefix) + "_catver_" + text + ".dat";
      list_output out(name.c_str());
      if (convert_pass(in, field_index, version, out) != 0) status = 1;
      if (!out.close_output()) status = 1;
    } else if (convert_pass(in, field_index, version, shared) != 0) {
      status = 1;
    }
  }
  in.close_input();
  if (!shared.close_output()) status = 1;
  return status;
}

// Dumps the cascade of every -V version (or of the -v version) into `path`. 0 or 1.
int cvcatmap_dump_cascaded_mappings(const char* path) {
  if (output_is_an_input(path, "dump file")) return 1;
  output_file out;
  if (!out.open(path)) {
    cvlog_send(CVLOG_ERROR, "Could not open file %s mode %s\n", path, "w");
    cvlog_send(CVLOG_ERROR, "Could not open file '%s' to dump cascaded mappings.\n", path);
    return 1;
  }
  if (settings.have_versions) {
    for (const std::string& text : settings.versions)
      catmapping_lib_dump_mapping(mapping.get(), out.stream(), cv_atoi(text.c_str()));
  } else {
    catmapping_lib_dump_mapping(mapping.get(), out.stream(), settings.version);
  }
  if (!out.commit()) {
    cvlog_send(CVLOG_ERROR, "Failed to write dump file %s\n", path);
    return 1;
  }
  return 0;
}

namespace {

int cvcatmap_main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOFBF, io_buffer_size);
  cvpath_init();
  settings.mapping_file = cvpath_append("/var/lib/lists/catmapping.dat");
  if (int rc = cvcatmap_parse_command_line(argc, argv); rc >= 0) {
    // -b and -h: the text printed is the result of the run.
    if (!cv_stdout_close_checked() && rc == CVCATMAP_EXIT_OK) rc = CVCATMAP_EXIT_FAILURE;
    return rc;
  }

  if (catmapping_lib_initialize(settings.keep_new_url) != 0) {
    fputs("Failed to initialize category mapping object.\n", stderr);
    return CVCATMAP_EXIT_FAILURE;
  }
  mapping = catmapping_lib_load(settings.mapping_file.c_str(), settings.removing);
  if (!mapping) {
    const int load_errno = errno;
    fputs("Failed to load category mapping object.\n", stderr);
    // The line above is what scripts match; the reason follows on a line of its own.
    std::string reason = library_error("unknown error");
    if (load_errno != 0) reason += std::string(": ") + strerror(load_errno);
    fprintf(stderr, "%s: %s.\n", settings.mapping_file.c_str(), reason.c_str());
    catmapping_lib_terminate();
    return CVCATMAP_EXIT_FAILURE;
  }
  catmapping_lib_append_general(0);

  int status;
  if (settings.dump_file)
    status = cvcatmap_dump_cascaded_mappings(settings.dump_file);
  else if (settings.have_versions)
    status = cvcatmap_convert_multiple(settings.input, settings.field_index, settings.versions,
                                       settings.prefix);
  else
    status =
        cvcatmap_convert(settings.input, settings.field_index, settings.version, settings.output);

  catmapping_lib_terminate_catmappingobj(std::move(mapping));
  catmapping_lib_terminate();

  // Standard output carries lists and -d dumps; a failure to deliver them is a failed run.
  bool out_ok = fflush(stdout) == 0 && !ferror(stdout);
  if (fclose(stdout) != 0) out_ok = false;
  if (!out_ok) {
    if (!stdout_failure_reported) cvlog_send(CVLOG_ERROR, "Failed to write list file STDOUT\n");
    status = 1;
  }
  return status ? CVCATMAP_EXIT_FAILURE : CVCATMAP_EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (!cv_program_init()) return CVCATMAP_EXIT_FAILURE;
  return cv_program_run([&] { return cvcatmap_main(argc, argv); });
}
