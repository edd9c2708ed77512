// cvlistcheck: loads list files into one URL list and looks URLs up in it, printing what the
// list does with each URL (denied, allowed, categorised, rewritten, continued, not found) and
// comparing that with an expected result, a trace of the expected entry, or sets of categories
// (-x, -n). It can also time list loading and lookups.
//
// Exit status: 0 when every URL passed (or none was tested); 1 when a URL failed or could not
// be exploded, and after every error; 255 when the URL list cannot be created.
//
// Result lines, "Loading Lists" and "Lists Loaded" go to the output stream (-o); LSTATS and
// USTATS lines and the timing summary to standard output; diagnostics to standard error.
//
// The URL under test, the trace and the rest of a check-file line are held in growing strings:
// they are read whole however long they are, and the categories text is never cut. One thread.

#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"
#include "util/category_set.h"
#include "util/output_file.h"
#include "util/program.h"
#include "util/string.h"
#include "util/version.h"

namespace {

enum listcheck_exit : int {
  LISTCHECK_EXIT_OK = 0,
  LISTCHECK_EXIT_FAILURE = 1,
  LISTCHECK_EXIT_NO_LIST = 255,
};

constexpr const char* option_string = "hvni:u:f:qcds:x:Ce:o:St:T:k:K:";
// Each of -i, -u and -t keeps at most this many values; further ones are refused.
constexpr size_t max_values = 100;

const char* const usage_lines[] = {
    "usage: cvlistcheck options",
    "\t-h\t\tDisplay this help.",
    "\t-v\t\tDisplay the version of this tool.",
    "\t-q\t\tQuiet Mode. Do not display url lookup results. This does not affect statistics.",
    "\t-d\t\tDisplay detailed results. Does nothing if quiet mode is enabled.",
    "\t-S\t\tStop on failure.",
    "\t-i filename\tThe file to load that will be used as the database. This option can be "
    "specified multiple times.",
    "\t-u url\t\tA single URL to lookup.  This option can be specified multiple "
    "times.\n\t\t\t\tIncompatible with -x and -n options.",
    "\t-f filename\tA file of URLs/list entries to be looked up. \"-\" for stdin.",
    "\t-o filename\tThe file to output messages to. This does not include stats or errors. "
    "Unspecified or \"-\" for stdout.",
    "\t-C\t\tCompare results with expected categories/actions from list entries given in -u or "
    "-f options.\n\t\t\t\tExamples: '-C -u http://www.example.com/ 4,23'. Incompatible with -x "
    "and -n options.",
    "\t-e expected\tThe expected results (categories/actions) for ALL urls provided with "
    "-u.\n\t\t\t\t Examples: '-e 23,24', '-e A', '-e D'. Incompatible with -x and -n options.",
    "\t-x unexpected\tThe unexpected category results for ALL urls in the -f file compared "
    "against -i files.\n\t\t\t\"unexpected\" is a comma separated list of "
    "categories.\n\t\t\tCompares each URL in -f file associated with any of \"unexpected\" "
    "categories.\n\t\t\t\tExamples: '-x 23,24', '-x 23'\n\t\t\tDisplays the matched entries in "
    "the -i files.\n\t\t\t\tIncompatible with -u, -e, -C, -t, -T options.",
    "\t-T filename\tCompare URL/list entry results provided in the -f file with entries in a "
    "specified file using Trace URL\n\t\t\t\tIncompatible with -x option.",
    "\t-t expected\tCompare results for URLs provided with the -u option with the provided entry "
    "using Trace URL\n\t\t\t\tIncompatible with -x option.",
    "\t-K charset\tThe charset that encodes IDN (Internationalized Domain Name) in the file to be "
    "used as the database. Giving a charset that encodes the IDNs, such as UTF-8, enables IDNs "
    "parsing in the file.",
    "\t-k charset\tThe charset that encodes IDN (Internationalized Domain Name) in the file of "
    "URLs/list entries to be looked up. Giving a charset that encodes the IDNs, such as UTF-8, "
    "enables IDNs parsing in the file.",
    "\t-c\t\tDisplay complete statistics.",
    "\t-s type\t\tDisplay specific statistics. l for list stats u for url lookup stats.",
    "\t\t\tThe url lookup stats will display in a space delimited table of successful and failed "
    "results, in the format:\n\t\t\t 'USTATS lookupok lookupfail lookuperr total'.",
    "\t\t\tA header with this information is displayed, then each second's results are "
    "displayed. A total is displayed after a separator line.",
    "\t\t\tThis will also display the maximum, average, and minimum lookup time.",
    "\t\t\tThe list stats will display time to load each list and time to load all lists. These "
    "stats are prefixed by 'LSTATS:'.",
    "\t-n\t\tInexact categories set match (at least 1 category match expected) of matching URL "
    "entries from -f against -i files.\n\t\t\tOutputs the matched entries from -f file in the "
    "[URL categories] format.\n\t\t\t\tIncompatible with -e -C -t -T -x options.",
};

const char* const ustats_separator =
    "USTATS ----------------------------------------------------------\n";

void usage() {
  for (const char* line : usage_lines) {
    fputs(line, stdout);
    fputc('\n', stdout);
  }
}

// Run settings, filled by the option parser.
struct listcheck_settings {
  bool verbose = true;
  bool detailed = false;
  bool stop_on_failure = false;
  bool compare = false;
  std::optional<std::string> expected;    // -e: for the -u URLs only
  std::optional<std::string> unexpected;  // -x
  bool inexact = false;                   // -n
  bool lookup_stats = false;
  bool list_stats = false;
  std::vector<std::string> list_files;
  std::vector<std::string> test_urls;
  std::vector<std::string> traces;
  std::optional<std::string> check_file;
  std::optional<std::string> trace_file;
  std::optional<std::string> output_path;  // none: standard output
  std::optional<std::string> url_charset;
  std::optional<std::string> list_charset;
};

// Outcome counters, indexed by a URL's outcome; explodeerr counts URLs that did not explode.
enum listcheck_counter : int { COUNT_OK = 0, COUNT_FAIL = 1, COUNT_EXPLODE_ERR = 2 };

struct listcheck_counts {
  int n[3] = {0, 0, 0};
  int sum() const { return n[0] + n[1] + n[2]; }
};

// end - start, one second borrowed when the microseconds come out negative.
timeval elapsed_since(const timeval& start, const timeval& end) {
  timeval d;
  d.tv_sec = end.tv_sec - start.tv_sec;
  d.tv_usec = end.tv_usec - start.tv_usec;
  if (d.tv_usec < 0) {
    d.tv_sec -= 1;
    d.tv_usec += 1000000;
  }
  return d;
}

timeval now() {
  timeval t;
  gettimeofday(&t, nullptr);
  return t;
}

bool timeval_less(const timeval& a, const timeval& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

// Reads lines with getline(3). Its buffer is malloc'd by the C library and grows with the
// longest line, so it is released with free here.
class line_reader {
 public:
  line_reader() = default;
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;
  ~line_reader() { free(buf_); }

  // The next line without its newline; false at the end of the file or on a read error.
  // Throws std::bad_alloc when the line does not fit in memory: getline then stops without
  // setting the stream's end or error flag, and a silent stop would leave every later URL
  // unchecked in a run that passes.
  bool next(FILE* in, const char** line, size_t* length) {
    ssize_t n = getline(&buf_, &cap_, in);
    if (n < 0) {
      if (!feof(in) && !ferror(in)) throw std::bad_alloc();
      return false;
    }
    size_t len = static_cast<size_t>(n);
    if (len > 0 && buf_[len - 1] == '\n') --len;
    *line = buf_;
    *length = len;
    return true;
  }

 private:
  char* buf_ = nullptr;
  size_t cap_ = 0;
};

// White space as the C library's isspace sees it in the "C" locale.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct file_closer {
  void operator()(FILE* f) const {
    if (f != nullptr && f != stdin) fclose(f);
  }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Everything the checking stage works with.
class listcheck_run {
 public:
  listcheck_run(const listcheck_settings& s, urllist* list, FILE* out)
      : s_(s), list_(list), out_(out) {}

  // Checks all -u URLs, then the -f file. Returns 0 when every URL passed, else 1.
  int urllist_test_list();

 private:
  enum step_result { STEP_GO_ON, STEP_STOP };

  step_result check_url(category_set* explode_set, const timeval& start);
  int process_url(urllist_exploded_url* url);
  void print_suffix();
  void print_match(const char* text);
  void parse_numbers(const char* text);
  bool parsed_numbers_meet_result(const char* text);
  void timing_step(const timeval& start);
  void print_counts(const listcheck_counts& c) {
    printf("USTATS %d %d %d %d\n", c.n[0], c.n[1], c.n[2], c.sum());
  }
  void add_interval_to_totals() {
    for (int i = 0; i < 3; ++i) {
      total_.n[i] += interval_.n[i];
      interval_.n[i] = 0;
    }
  }
  int outcome_of_run() const {
    return total_.n[COUNT_FAIL] + total_.n[COUNT_EXPLODE_ERR] > 0 ? 1 : 0;
  }
  void print_timing_summary();
  int check_file_stage();

  const listcheck_settings& s_;
  urllist* list_;
  FILE* out_;
  std::unique_ptr<urllist_charset> charset_;
  category_set result_;             // categories of the matching entry
  category_set scratch_;            // numbers parsed from an expected or unexpected text
  std::string url_;                 // the URL under test, printed in every result line
  std::string trace_;               // the entry the trace expects; empty for none
  const char* expected_ = nullptr;  // expected result of the current URL, or null
  std::string matched_;             // diagnostic text of the matching entry
  std::string rewritten_;
  std::string categories_text_;
  bool header_printed_ = false;
  bool check_file_is_stdin_ = false;
  listcheck_counts interval_;
  listcheck_counts total_;
  timeval longest_{0, 0};
  timeval shortest_{1000, 0};
  long sum_sec_ = 0;
  long sum_usec_ = 0;
  int timed_ = 0;
  time_t second_ = 0;
};

// Reads a comma-separated list of numbers into the scratch set: a number (leading white space
// and a sign accepted, taken as unsigned 32-bit), then on if a comma follows; a position
// without a number is skipped only when it holds a comma.
void listcheck_run::parse_numbers(const char* text) {
  scratch_.clear();
  const char* p = text;
  for (;;) {
    char* end = nullptr;
    long value = strtol(p, &end, 10);
    if (end != p) {
      // In order once at the end: a long expected field in descending order would otherwise
      // shift the set once per number.
      scratch_.append_unsorted(static_cast<uint32_t>(value));
      p = end;
    }
    if (*p != ',') break;
    ++p;
  }
  scratch_.normalize();
}

bool listcheck_run::parsed_numbers_meet_result(const char* text) {
  parse_numbers(text);
  return scratch_.intersects(result_);
}

void listcheck_run::print_suffix() {
  if (s_.detailed) {
    fprintf(out_, " %s\n", matched_.c_str());
  } else {
    fputc('\n', out_);
  }
}

// A line of the -x or -n report; the header goes before the first one of the run.
void listcheck_run::print_match(const char* text) {
  if (!s_.verbose) return;
  if (!header_printed_) {
    if (s_.unexpected) {
      fprintf(out_,
              "Found -i entries matching -f entries assigned with (any of) the -x specified "
              "unexpected categor(y/ies): %s\n",
              s_.unexpected->c_str());
    } else {
      fputs(
          "Found -f entries matching -i entries assigned with (any of) latter's "
          "categor(y/ies).\n",
          out_);
    }
    header_printed_ = true;
  }
  fprintf(out_, "%s %s", url_.c_str(), text);
  print_suffix();
}

// Looks the URL up and classifies it: 0 pass, 1 fail.
int listcheck_run::process_url(urllist_exploded_url* url) {
  const char* u = url_.c_str();
  const bool verbose = s_.verbose;
  const bool special = s_.unexpected.has_value() || s_.inexact;
  urllist_action* action = nullptr;
  matched_.clear();
  int found = (s_.detailed || !trace_.empty()) ? urllist_lookup_diag(list_, url, &action, &matched_)
                                               : urllist_lookup_data(list_, url, &action);
  if (found != 0) {
    if (verbose && !special) fprintf(out_, "%s NOT FOUND\n", u);
    return 1;
  }
  // Quiet runs classify like verbose ones, so that -q never changes the outcome (a
  // list-number entry fails, and so does an -n line whose categories do not meet). Only when
  // there is nothing to print or compare is a category entry passed without copying its
  // numbers: it passes whatever they are.
  if (!verbose && !s_.compare && expected_ == nullptr && !special && trace_.empty() &&
      action->kind == URLLIST_ACTION_CATEGORY) {
    return 0;
  }
  int outcome = 0;
  rewritten_.clear();
  int result = urllist_action_process_action(action, &result_, u, &rewritten_, nullptr);
  const char* exp = expected_;
  switch (result) {
    case URLLIST_RESULT_DENY:
      if (special) break;
      if (verbose) {
        fprintf(out_, "%s Denied", u);
        print_suffix();
      }
      if (exp != nullptr && exp[0] != 'D') {
        outcome = 1;
        if (verbose) {
          fprintf(out_, "The entry %s was Denied and did not match the expected result of %s\n", u,
                  exp);
        }
      }
      break;
    case URLLIST_RESULT_ALLOW:
      if (special) break;
      if (verbose) {
        fprintf(out_, "%s Allowed", u);
        print_suffix();
      }
      if (exp != nullptr && exp[0] != 'A') {
        outcome = 1;
        if (verbose) {
          fprintf(out_, "The entry %s was Allowed and did not match the expected result of %s\n", u,
                  exp);
        }
      }
      break;
    case URLLIST_RESULT_TEXT:
      if (special) break;
      if (verbose) {
        fprintf(out_, "%s Rewrite: %s", u, rewritten_.c_str());
        print_suffix();
      }
      if (exp != nullptr && exp[0] != 'R' && exp[0] != 'T' && exp[0] != 'Q' && exp[0] != 'S') {
        outcome = 1;
        if (verbose) {
          fprintf(out_, "The entry %s was Rewritten and did not match the expected result of %s\n",
                  u, exp);
        }
      }
      break;
    case URLLIST_RESULT_NONE:
      if (special) break;
      if (verbose) {
        fprintf(out_, "%s Continue", u);
        print_suffix();
      }
      if (exp != nullptr && exp[0] != 'C') {
        outcome = 1;
        if (verbose) {
          fprintf(out_,
                  "The entry %s was assigned the Continue action and did not match the expected "
                  "result of %s\n",
                  u, exp);
        }
      }
      break;
    case URLLIST_RESULT_CATEGORY: {
      categories_text_.clear();
      result_.append_to(categories_text_);
      const char* cats = categories_text_.c_str();
      if (s_.unexpected) {
        // -x: the URL is reported when its categories include any unexpected one.
        const char* unexp = s_.unexpected->c_str();
        if (categories_text_ == unexp || parsed_numbers_meet_result(unexp)) {
          outcome = 1;
          print_match(cats);
        }
      } else if (s_.inexact) {
        // -n: the line is reported when its own categories meet the list's; a line without
        // categories meets nothing.
        if (exp != nullptr && (categories_text_ == exp || parsed_numbers_meet_result(exp))) {
          print_match(exp);
        } else {
          outcome = 1;
        }
      } else {
        if (verbose) {
          fprintf(out_, "%s Category: %s", u, cats);
          print_suffix();
        }
        bool pass = exp == nullptr || categories_text_ == exp;
        if (!pass) {
          parse_numbers(exp);
          pass = scratch_ == result_;
        }
        if (!pass) {
          outcome = 1;
          if (verbose) {
            fprintf(out_,
                    "The entry %s was assigned the Categories: %s and did not match the expected "
                    "result of %s\n",
                    u, cats, exp);
          }
        }
      }
      break;
    }
    default:
      if (verbose) fprintf(out_, "%s UNKNOWN RESULT\n", u);
      outcome = 1;
      break;
  }
  if (!trace_.empty() && strcasecmp(trace_.c_str(), matched_.c_str()) != 0) {
    outcome = 1;
    if (verbose) {
      fprintf(out_, "The expected entry %s did not match with the looked up entry %s\n",
              trace_.c_str(), matched_.c_str());
    }
  }
  return outcome;
}

// Lookup time and the per-second line.
void listcheck_run::timing_step(const timeval& start) {
  timeval d = elapsed_since(start, now());
  if (timeval_less(longest_, d)) longest_ = d;
  if (timeval_less(d, shortest_)) shortest_ = d;
  sum_sec_ += d.tv_sec;
  sum_usec_ += d.tv_usec;
  ++timed_;
  time_t t = time(nullptr);
  if (t != second_) {
    print_counts(interval_);
    second_ = t;
    add_interval_to_totals();
    if (check_file_is_stdin_) {
      fputs(ustats_separator, stdout);
      print_counts(total_);
    }
  }
}

// Explodes, classifies and counts the current URL.
listcheck_run::step_result listcheck_run::check_url(category_set* explode_set,
                                                    const timeval& start) {
  urllist_exploded_url_ptr x = urllist_explode_charset(url_, explode_set, 0, 0, charset_.get());
  if (!x) {
    fprintf(stderr, "Fail to check %s. urllist explosion failure.\n", url_.c_str());
    ++interval_.n[COUNT_EXPLODE_ERR];
    return s_.stop_on_failure ? STEP_STOP : STEP_GO_ON;
  }
  result_.clear();
  int outcome = process_url(x.get());
  x.reset();
  ++interval_.n[outcome];
  if (s_.stop_on_failure && outcome == 1) return STEP_STOP;
  if (s_.lookup_stats) timing_step(start);
  return STEP_GO_ON;
}

// With n timed lookups: max, min and the average in integer arithmetic. Nothing timed prints
// zeros throughout rather than the untouched minimum or a division by zero.
void listcheck_run::print_timing_summary() {
  long sec = sum_sec_ + sum_usec_ / 1000000;
  long usec = sum_usec_ % 1000000;
  timeval longest = longest_, shortest = shortest_;
  long avg_sec = 0, avg_usec = 0;
  if (timed_ > 0) {
    avg_sec = sec / timed_;
    avg_usec = (usec + (sec % timed_) * 1000000) / timed_;
  } else {
    longest = timeval{0, 0};
    shortest = timeval{0, 0};
  }
  printf("Lookup time for %d lookups: \nmax: %ld.%06ld min: %ld.%06ld avg: %ld.%06ld\n", timed_,
         static_cast<long>(longest.tv_sec), static_cast<long>(longest.tv_usec),
         static_cast<long>(shortest.tv_sec), static_cast<long>(shortest.tv_usec), avg_sec,
         avg_usec);
}

int listcheck_run::urllist_test_list() {
  if (s_.lookup_stats) {
    fputs("USTATS lookupok lookupfail explodeerr total\n", stdout);
    second_ = time(nullptr);
  }
  if (s_.url_charset) {
    charset_ = urllist_init_charset(s_.url_charset->c_str());
    if (!charset_) {
      fputs("Fail to allocate memory for charset to check URLs.\n", stderr);
      return 1;
    }
  }
  timeval start{0, 0};
  for (size_t i = 0; i < s_.test_urls.size(); ++i) {
    if (s_.lookup_stats) start = now();
    url_ = s_.test_urls[i];
    if (i < s_.traces.size()) {
      trace_ = s_.traces[i];
    } else {
      trace_.clear();
    }
    expected_ = s_.expected ? s_.expected->c_str() : nullptr;
    if (check_url(&scratch_, start) == STEP_STOP) return 1;
  }
  if (!s_.test_urls.empty() && s_.lookup_stats) print_counts(interval_);
  add_interval_to_totals();
  if (!s_.check_file) return outcome_of_run();
  return check_file_stage();
}

int listcheck_run::check_file_stage() {
  // Any argument that begins with "-" is standard input.
  check_file_is_stdin_ = (*s_.check_file)[0] == '-';
  file_ptr in(check_file_is_stdin_ ? stdin : fopen(s_.check_file->c_str(), "r"));
  if (!in) {
    perror("Error unable to open infile");
    return 1;
  }
  expected_ = nullptr;  // -e is for the -u URLs only
  file_ptr trace_in;
  if (s_.trace_file) {
    trace_in.reset(fopen(s_.trace_file->c_str(), "r"));
    if (!trace_in) {
      in.reset();
      perror("Error unable to open trace file");
      return 1;
    }
  }
  const bool want_expected = s_.compare || s_.inexact;
  line_reader reader, trace_reader;
  std::string rest;
  const char* line;
  size_t len;
  timeval start{0, 0};
  while (reader.next(in.get(), &line, &len)) {
    // The URL is the first white-space-delimited token; blank lines hold none and are
    // skipped. The rest of the line starts with the white space that followed the URL.
    size_t i = 0;
    while (i < len && is_blank(line[i])) ++i;
    if (i == len) continue;
    size_t j = i;
    while (j < len && !is_blank(line[j])) ++j;
    url_.assign(line + i, j - i);
    expected_ = nullptr;
    if (want_expected) {
      rest.assign(line + j, len - j);
      // Fields: "" (before the separator that starts the rest), then as in a list line.
      int count = 0;
      std::vector<char*> fields = string_explode_limit(rest.data(), ' ', 4, &count);
      if (count == 2) {
        expected_ = fields[1];
      } else if (count == 3) {
        expected_ = fields[2];
      } else if (count == 4) {
        expected_ = fields[2][0] == 'C' ? fields[3] : fields[2];
      }
    }
    trace_.clear();
    if (trace_in) {
      const char* tline;
      size_t tlen;
      if (trace_reader.next(trace_in.get(), &tline, &tlen)) {
        size_t a = 0;
        while (a < tlen && is_blank(tline[a])) ++a;
        size_t b = a;
        while (b < tlen && !is_blank(tline[b])) ++b;
        trace_.assign(tline + a, b - a);
      }
    }
    if (s_.lookup_stats) start = now();
    if (check_url(&result_, start) == STEP_STOP) return 1;
    expected_ = nullptr;
  }
  // A read error would otherwise look like the end of the file and let the run pass.
  if (ferror(in.get())) {
    perror("Error reading from the file specified by -f option");
    return 1;
  }
  if (trace_in && ferror(trace_in.get())) {
    perror("Error reading from the trace file");
    return 1;
  }
  trace_in.reset();
  in.reset();
  if (s_.lookup_stats) print_counts(interval_);
  add_interval_to_totals();
  if (s_.lookup_stats) {
    fputs(ustats_separator, stdout);
    print_counts(total_);
    print_timing_summary();
  }
  return outcome_of_run();
}

// Parses the command line. Returns -1 to go on, or the exit status when the run ends here.
int listcheck_parse_options(int argc, char** argv, listcheck_settings* s) {
  int c;
  while ((c = getopt(argc, argv, option_string)) != -1) {
    switch (c) {
      case 'h':
        usage();
        return LISTCHECK_EXIT_OK;
      case 'v':
        printf("Corvane List Check %s Build: %s\n", CV_VERSION, cv_build_stamp());
        return LISTCHECK_EXIT_OK;
      case 'q':
        s->verbose = false;
        break;
      case 'd':
        s->detailed = true;
        break;
      case 'S':
        s->stop_on_failure = true;
        break;
      case 'i':
        if (s->list_files.size() < max_values) {
          s->list_files.emplace_back(optarg);
        } else {
          fprintf(stderr, "Too many input list files. File %s ignored.\n", optarg);
        }
        break;
      case 'u':
        if (s->test_urls.size() < max_values) {
          s->test_urls.emplace_back(optarg);
        } else {
          fprintf(stderr,
                  "Too many comand line urls. Use file to store large number of urls.  Url %s "
                  "ignored.\n",
                  optarg);
        }
        break;
      case 't':
        if (s->traces.size() < max_values) {
          s->traces.emplace_back(optarg);
        } else {
          fprintf(stderr,
                  "Too many cmd line expected url trace results. Use file to store large number "
                  "of urls. Trace result %s ignored.\n",
                  optarg);
        }
        break;
      case 'f':
        s->check_file = optarg;
        break;
      case 'T':
        s->trace_file = optarg;
        break;
      case 'o':
        if (optarg[0] == '-') {
          s->output_path.reset();
        } else {
          s->output_path = optarg;
        }
        break;
      case 'C':
        s->compare = true;
        break;
      case 'e':
        s->expected = optarg;
        s->compare = true;
        break;
      case 'x':
        s->unexpected = optarg;
        break;
      case 'n':
        s->inexact = true;
        break;
      case 'k':
        s->url_charset = optarg;
        break;
      case 'K':
        s->list_charset = optarg;
        break;
      case 'c':
        s->list_stats = true;
        s->lookup_stats = true;
        break;
      case 's':
        if (optarg[0] == 'l') s->list_stats = true;
        if (optarg[0] == 'u') s->lookup_stats = true;
        break;
      default:  // getopt has complained already
        break;
    }
  }
  return -1;
}

// Conflicting options; the message is followed by the usage text.
int listcheck_validate(const listcheck_settings& s) {
  const char* message = nullptr;
  if (s.inexact) {
    if (s.compare || s.trace_file || !s.traces.empty() || !s.test_urls.empty() || s.expected) {
      message = "Cannot use -n with -C -e -t -T -u!\n";
    } else if (!s.check_file) {
      message = "-f file must be specified with -n option!\n";
    }
  }
  if (message == nullptr && s.unexpected) {
    if (s.compare || s.trace_file || !s.traces.empty()) {
      message = "Cannot use -x with -e, -t, -T or -C!\n";
    } else if (!s.check_file) {
      message = "-f file must be specified with -x option!\n";
    }
  }
  if (message == nullptr) return -1;
  fputs(message, stderr);
  usage();
  return LISTCHECK_EXIT_FAILURE;
}

// An output file that is one of the inputs would be truncated before it is read: refuse it.
// Returns the input path that is the same file, or null.
const char* output_clashes_with_input(const listcheck_settings& s) {
  if (!s.output_path) return nullptr;
  std::vector<std::string> inputs = s.list_files;
  // Any check-file argument that begins with "-" is standard input.
  if (s.check_file) inputs.push_back((*s.check_file)[0] == '-' ? "-" : *s.check_file);
  if (s.trace_file) inputs.push_back(*s.trace_file);
  const char* clash = output_clashes_with_inputs(s.output_path->c_str(), inputs);
  if (clash == nullptr) return nullptr;
  if (strcmp(clash, "-") == 0) return "standard input";
  // Point into the settings, which outlive the local copy.
  for (const std::string& f : s.list_files) {
    if (f == clash) return f.c_str();
  }
  if (s.trace_file && *s.trace_file == clash) return s.trace_file->c_str();
  return s.check_file->c_str();
}

// Closes the output (moving a file to its name) and checks standard output; a failed write
// turns the exit status into 1.
int listcheck_finish_output(output_file& out, const listcheck_settings& s, int status) {
  if (!out.is_stdout() && !out.commit()) {
    fprintf(stderr, "Error writing outfile %s: %s\n", s.output_path->c_str(),
            strerror(out.error()));
    status = LISTCHECK_EXIT_FAILURE;
  }
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "Error writing standard output: %s\n",
            errno != 0 ? strerror(errno) : "write error");
    status = LISTCHECK_EXIT_FAILURE;
  }
  return status;
}

// Loads the list files and checks the URLs. Returns the exit status.
int listcheck_main(const listcheck_settings& s, FILE* out) {
  urllist_ptr list =
      urllist_with_charset_initialize(0, s.list_charset ? s.list_charset->c_str() : nullptr);
  if (!list) return LISTCHECK_EXIT_NO_LIST;
  // The list lives as long as the run; the kernel takes it back in bulk.
  struct release_at_exit {
    urllist_ptr& list;
    ~release_at_exit() { urllist_release_at_exit(std::move(list)); }
  } release{list};
  if (s.list_files.empty()) {
    fputs("\nUse -i to provide the lists to load!\n\n", stderr);
    usage();
    return LISTCHECK_EXIT_FAILURE;
  }
  fputs("Loading Lists\n", out);
  timeval all_start = now();
  for (const std::string& path : s.list_files) {
    timeval start = now();
    int rc = urllist_add_file(list.get(), path.c_str(), URLLIST_TYPE_FULL);
    const int load_errno = errno;
    timeval d = elapsed_since(start, now());
    // A list that lacks entries for want of memory must not be checked against: the run
    // ends as for any other exhaustion of memory.
    if (rc == URLLIST_LOAD_NO_MEMORY || (rc != 0 && load_errno == ENOMEM)) throw std::bad_alloc();
    if (rc != 0) {
      fprintf(stderr, "Error loading file %s\n", path.c_str());
      fprintf(stderr, "%s: %s\n", path.c_str(),
              load_errno != 0 ? strerror(load_errno) : "not a list that can be read");
    }
    if (s.list_stats) {
      printf("LSTATS Loaded list '%s' in %ld.%06lds\n", path.c_str(), static_cast<long>(d.tv_sec),
             static_cast<long>(d.tv_usec));
    }
    if (rc != 0) return LISTCHECK_EXIT_FAILURE;
  }
  fputs("Lists Loaded\n", out);
  if (s.list_stats) {
    timeval d = elapsed_since(all_start, now());
    printf("LSTATS List load time: %ld.%06lds\n", static_cast<long>(d.tv_sec),
           static_cast<long>(d.tv_usec));
  }
  if (!s.check_file && s.test_urls.empty()) return LISTCHECK_EXIT_OK;
  listcheck_run run(s, list.get(), out);
  return run.urllist_test_list() == 0 ? LISTCHECK_EXIT_OK : LISTCHECK_EXIT_FAILURE;
}

int listcheck_run_program(int argc, char** argv) {
  listcheck_settings s;
  int status = listcheck_parse_options(argc, argv, &s);
  if (status >= 0) {
    // -h and -v: their text is the result of the run.
    if (!cv_stdout_close_checked() && status == LISTCHECK_EXIT_OK) status = LISTCHECK_EXIT_FAILURE;
    return status;
  }
  status = listcheck_validate(s);
  if (status >= 0) return status;
  if (const char* clash = output_clashes_with_input(s)) {
    fprintf(stderr, "Error output file %s is the same file as the input %s. Nothing written.\n",
            s.output_path->c_str(), clash);
    return LISTCHECK_EXIT_FAILURE;
  }
  output_file out;
  if (!out.open(s.output_path ? s.output_path->c_str() : nullptr)) {
    perror("Error unable to open outfile");
    return LISTCHECK_EXIT_FAILURE;
  }
  status = listcheck_main(s, out.stream());
  return listcheck_finish_output(out, s, status);
}

}  // namespace

int main(int argc, char** argv) {
  if (!cv_program_init()) return LISTCHECK_EXIT_FAILURE;
  return cv_program_run([&] { return listcheck_run_program(argc, argv); });
}
