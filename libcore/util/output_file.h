#pragma once
// Output files and scratch files: the one way every program of the suite writes a file.
//
// A result must never be left half written under its final name. So an output that names a
// regular file (or nothing yet) is written to a temporary file in the same folder and renamed
// onto the name only after every write and the close succeeded. A name that exists and is
// not a regular file (a FIFO, a terminal, /dev/null, /dev/stdout) is written directly:
// renaming over it would replace the device node itself. "-" or no name is standard output.
//
// Scratch files (temporary outputs, sorted copies, intermediate lists) are created
// exclusively without following a symbolic link, and are removed on every exit path: by
// their owner's destructor, or by the SIGINT/SIGTERM handler that scratch_file_track
// installs.
//
// Thread-safety: an output_file belongs to one thread. The scratch-file table may be changed
// from one thread at a time; the signal handler only reads it.

#include <sys/types.h>

#include <cstdio>
#include <span>
#include <string>
#include <string_view>

// Creates `path` for writing with O_CREAT | O_EXCL | O_NOFOLLOW and `mode` (less the umask).
// When the name is taken, removes it once and tries again, so a file left by a killed run
// of the same process id does not block the program, while a symbolic link planted under
// the name is never followed. Returns the descriptor, or -1 with errno set.
int scratch_file_create(const char* path, mode_t mode);

// Registers `path` for removal when the process receives SIGINT or SIGTERM; the handlers
// are installed on the first call and re-raise the signal with its default action after the
// removals, so the exit status still tells the signal. Returns false (and registers nothing)
// when the table of 32 names is full or the name is longer than 4095 bytes.
bool scratch_file_track(const std::string& path);
// Forgets `path` (after it was removed or renamed). Unknown names are ignored.
void scratch_file_untrack(const std::string& path);

// True when `a` and `b` name the same existing file (same device and inode). "-" stands for
// standard input. False when either cannot be examined.
bool file_same(const char* a, const char* b);

// Returns the first of `inputs` that is the same file as the output named `output`, or null.
// An output that is null, "-" or not yet existing clashes with nothing.
const char* output_clashes_with_inputs(const char* output, std::span<const std::string> inputs);

// One output of a program.
//
// Life cycle: open() → write through stream() → commit() (or discard()). The destructor
// discards an output that was opened and neither committed nor discarded: the temporary file
// is removed and an existing file under the output name stays as it was.
class output_file {
 public:
  output_file() = default;
  ~output_file();
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  // Opens the output named `path`. Null or "-": standard output. An existing name that is
  // not a regular file: opened directly for writing. Otherwise a temporary file is created
  // with scratch_file_create(`mode`) under `temp_path`, or "<path>.<pid>.tmp" when
  // `temp_path` is empty, and tracked for removal on a signal.
  // Returns false with errno set when the output cannot be opened; nothing is left behind.
  bool open(const char* path, mode_t mode = 0666, const std::string& temp_path = {});

  // The stream to write to; null before open(). Buffered. Writes through it are checked:
  // the first failure's errno is kept and reported by commit().
  FILE* stream() const { return stream_; }
  // The output name as given, or "STDOUT" for standard output.
  const char* name() const { return path_.empty() ? "STDOUT" : path_.c_str(); }
  // The temporary file's name; empty when the output is written directly.
  const std::string& temp_path() const { return temp_; }
  bool is_stdout() const { return stream_ != nullptr && path_.empty(); }

  // Flushes and closes the output and, for a temporary file, renames it onto the output
  // name. True when every write, the close and the rename succeeded. On failure the
  // temporary file is removed, an existing output under the name is left untouched, errno
  // is set and error() / failed_step() ("write", "close" or "rename") tell what failed.
  // Standard output is flushed, not closed.
  bool commit();

  // commit(), reporting a failure as "Failed to write %s: %s\n" (output name, system error
  // text) on standard error.
  bool commit_or_report();

  // Closes the output without publishing it: a temporary file is removed. Idempotent.
  void discard();

  int error() const { return error_; }
  const char* failed_step() const { return step_; }

  // Used by the stream's write and close functions: records the first failure and the step
  // ("write" or "close") it happened in.
  void note_error(int e, const char* step) {
    if (error_ == 0) {
      error_ = e;
      step_ = step;
    }
  }

 private:
  void close_stream();

  std::string path_;  // empty: standard output
  std::string temp_;  // empty: written directly
  FILE* stream_ = nullptr;
  int error_ = 0;
  const char* step_ = "";
  bool open_ = false;
};
