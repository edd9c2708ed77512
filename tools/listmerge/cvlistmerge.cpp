// cvlistmerge: joins list files into one list, in the order of the -i options, dropping
// entries with user information, entries a filter list categorises, and category entries the
// -k, -c and -r sets rule out, and optionally writing URL entries in hashed form.
//
// The lines are streamed: each surviving line is written as soon as it is read. The output
// goes to a temporary file beside the output name that replaces the name only after every
// write and the close succeeded, so a failed run never leaves a partial list under the name.
//
// Exit status: 0 on success (also when no input was given), 1 on every error.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "listmerge.h"
#include "urllist/listfile.h"
#include "urllist/urllist.h"
#include "util/program.h"
#include "util/version.h"
#include "util/category_set.h"
#include "util/output_file.h"

namespace {

constexpr const char* option_string = "hvi:o:xXdc:r:f:Vk:";

constexpr size_t block_size = 1 << 18;

enum listmerge_exit : int { LISTMERGE_EXIT_OK = 0, LISTMERGE_EXIT_FAILURE = 1 };

// Parses a category-set option; a set that cannot be made ends the run.
bool parse_set(const char* text, std::optional<category_set>* out, const char* failure) {
  try {
    *out = category_set_parse_option(text);
    return true;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    perror(failure);
    return false;
  }
}

// Returns -1 to go on, or the exit status when the run ends here.
int listmerge_parse_options(int argc, char** argv, listmerge_settings* s) {
  int c;
  while ((c = getopt(argc, argv, option_string)) != -1) {
    switch (c) {
      case 'h':
        listmerge_usage(stdout);
        return LISTMERGE_EXIT_OK;
      case 'v':
        printf("Corvane List Merge %s Build: %s\n", CV_VERSION, cv_build_stamp());
        return LISTMERGE_EXIT_OK;
      case 'i':
        s->inputs.emplace_back(optarg);
        break;
      case 'o':
        if (strcmp(optarg, "-") == 0) {
          s->output.reset();
        } else {
          s->output = optarg;
        }
        break;
      case 'x':
        s->hash_mode = LISTMERGE_HASH_KEEP_IP;
        break;
      case 'X':
        s->hash_mode = LISTMERGE_HASH_ALL;
        break;
      case 'd':
        s->keep_dangerous = true;
        break;
      case 'c':
        if (!parse_set(optarg, &s->intersect, "fail to create filter cats\n")) {
          return LISTMERGE_EXIT_FAILURE;
        }
        break;
      case 'r':
        if (!parse_set(optarg, &s->remove, "fail to create remove cats\n")) {
          return LISTMERGE_EXIT_FAILURE;
        }
        break;
      case 'k':
        if (!parse_set(optarg, &s->only_keep, "Failed to create keep cats\n")) {
          return LISTMERGE_EXIT_FAILURE;
        }
        break;
      case 'V':
        s->verbose = true;
        break;
      case 'f':
        s->filter_file = optarg;
        break;
      default:  // getopt has complained already
        break;
    }
  }
  return -1;
}

// An output that is one of the files read would replace that file: refused before anything
// is written. Only a regular file can be replaced; a device or FIFO is written directly.
const char* listmerge_output_clash(const listmerge_settings& s) {
  struct stat st;
  if (!s.output || stat(s.output->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  std::vector<std::string> read = s.inputs;
  if (s.filter_file) read.push_back(*s.filter_file);
  const char* clash = output_clashes_with_inputs(s.output->c_str(), read);
  if (clash == nullptr) return nullptr;
  for (const std::string& in : s.inputs) {
    if (in == clash) return in.c_str();
  }
  return s.filter_file->c_str();
}

// Reads one input through the merger. Returns false (after reporting) on a read error.
bool listmerge_read_input(const char* name, int fd, listmerge_merger* merger, FILE* out) {
  listmerge_reader reader(fd);
  char* line;
  size_t len;
  // Lines are gathered and written in large blocks: one stdio call per line would cost
  // more than the line's handling.
  std::string block;
  block.reserve(block_size + 65536);
  while (reader.next(&line, &len)) {
    merger->process_line(line, len, &block, reader.line_may_hold_nul());
    if (block.size() >= block_size) {
      fwrite(block.data(), 1, block.size(), out);
      block.clear();
    }
  }
  fwrite(block.data(), 1, block.size(), out);
  if (reader.error() != 0) {
    // Going on would publish a list that silently lacks the rest of this input.
    fprintf(stderr, "fail to read %s: %s\n", name, strerror(reader.error()));
    return false;
  }
  return true;
}

int listmerge_run(const listmerge_settings& s) {
  urllist_ptr filter;
  if (s.filter_file) {
    filter = urllist_initialize(0);
    if (!filter) {
      perror("fail init urllist");
      return LISTMERGE_EXIT_FAILURE;
    }
    const char* path = s.filter_file->c_str();
    int rc = urllist_add_file(filter.get(), path, URLLIST_TYPE_CATEGORY);
    if (rc == URLLIST_LOAD_CANNOT_OPEN) {
      fprintf(stderr, "Fail to open %s: %s\n", path, strerror(errno));
      return LISTMERGE_EXIT_FAILURE;
    }
    if (rc != 0) {
      fprintf(stderr, "Error loading file %s\n", path);
      return LISTMERGE_EXIT_FAILURE;
    }
  }

  output_file out;
  if (!out.open(s.output ? s.output->c_str() : nullptr)) {
    perror("fail to open output file.");
    return LISTMERGE_EXIT_FAILURE;
  }
  listmerge_merger merger(s, filter.get());
  for (const std::string& name : s.inputs) {
    if (s.verbose) fprintf(stderr, "opening input file %s\n", name.c_str());
    const bool is_stdin = name == "-";
    int fd = is_stdin ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      int e = errno;
      out.discard();
      fprintf(stderr, "fail to open %s: %s\n", name.c_str(), strerror(e));
      return LISTMERGE_EXIT_FAILURE;
    }
    bool ok = listmerge_read_input(name.c_str(), fd, &merger, out.stream());
    // Standard input stays open: a second "-" then reads nothing instead of failing.
    if (!is_stdin) close(fd);
    if (!ok) {
      out.discard();
      return LISTMERGE_EXIT_FAILURE;
    }
  }
  return out.commit_or_report() ? LISTMERGE_EXIT_OK : LISTMERGE_EXIT_FAILURE;
}

}  // namespace

static int listmerge_run_program(int argc, char** argv) {
  listmerge_settings s;
  int status = listmerge_parse_options(argc, argv, &s);
  if (status >= 0) {
    // -h, -v and option errors: what they printed is the result of the run.
    if (!cv_stdout_close_checked() && status == 0) status = 1;
    return status;
  }
  if (s.inputs.empty()) {
    fputs("no input files\n", stderr);
    return LISTMERGE_EXIT_OK;
  }
  if (const char* clash = listmerge_output_clash(s)) {
    fprintf(stderr, "Error output file %s is the same file as the input %s. Nothing written.\n",
            s.output->c_str(), clash);
    return LISTMERGE_EXIT_FAILURE;
  }
  try {
    return listmerge_run(s);
  } catch (const std::bad_alloc&) {
    // The output_file in listmerge_run has removed its temporary file on the way out.
    fputs("critical memory error terminated\n", stderr);
    return LISTMERGE_EXIT_FAILURE;
  }
}

int main(int argc, char** argv) {
  if (!cv_program_init()) return 1;
  return cv_program_run([&] { return listmerge_run_program(argc, argv); });
}
