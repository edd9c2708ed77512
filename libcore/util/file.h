#pragma once
// File helpers and the line readers that the list loaders and the tools read their input
// with.
//
// Every line reader strips one carriage return before the newline and never returns a last
// line that lacks its newline: a file cut in the middle of a line loses that partial line
// instead of delivering half an entry.
//
// Thread-safety: no global state. A file_buffer or a stream belongs to one thread at a time;
// different files may be read on different threads at once.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// --- Whole files -----------------------------------------------------------------------

// Reads the whole file named by `path`. The size is taken from the file's status and read
// until that many bytes have arrived or the file ends (one read may deliver less); the
// result holds exactly the bytes read (embedded NULs included) and `*length`, when `length`
// is not null, receives their count. Null (and `*length` untouched) when the status cannot
// be taken, the file cannot be opened, a read fails or memory is short.
// The returned string's data() is NUL-terminated, ready for file_read_all_string.
std::optional<std::string> file_read_all_size(const char* path, size_t* length);

// file_read_all_size without the length.
std::optional<std::string> file_read_all(const char* path);

// Takes the next line out of a NUL-terminated text in place. `*cursor` points to where the
// next line starts. Finds the next "\n", overwrites it with NUL (or overwrites the "\r" before
// it when the line is not empty and ends in "\r"), moves `*cursor` past the "\n" and returns
// the start of the line. Null when `cursor` or `*cursor` is null or no "\n" is left: a last
// line without a newline is never returned. The text is searched as a C string, so a NUL
// byte ends it.
char* file_read_all_string(char** cursor);

// --- Streams ---------------------------------------------------------------------------

struct file_stream_closer {
  void operator()(FILE* f) const;
};
// A buffered stream that closes itself.
using file_stream = std::unique_ptr<FILE, file_stream_closer>;

// Opens a buffered stream with fopen's `mode`. On failure sends the error message
// "Could not open file %s mode %s\n" (path, mode) and returns null.
file_stream file_open(const char* path, const char* mode);

// Reads one line from `stream` up to "\n" (excluded) and strips one trailing "\r". Nullopt
// at end of file or on a read error, also when bytes were read since the last "\n" (an
// unterminated last line is dropped), and for a null stream. Short memory is reported with
// "Failed on Malloc, file_read_string\n" or "Failed on realloc, file_read_string\n" and gives
// nullopt.
std::optional<std::string> file_read_string(FILE* stream);

// file_read_string over a descriptor. Reads one byte per system call so that nothing beyond
// the line is taken from the descriptor; meant for short inputs such as pipes.
std::optional<std::string> file_read_string_fd(int fd);

// --- The file buffer: fast line-by-line reading of big list files ------------------------

// Reads a file in chunks and hands out its lines in place, without allocating per line.
//
// Layout of `data` between two calls:
//
//   data                cursor              data + used       data + capacity
//   |  consumed lines   |  unconsumed bytes  |  free room       |
//
// Lines are found with memchr over the bytes actually held, so a NUL byte inside a line
// does not hide what follows: such a line is delivered as the text up to the NUL, and the
// next lines are read normally.
struct file_buffer {
  static constexpr int initial_capacity = 32768;
  static constexpr int chunk = 16384;

  std::vector<char> data;  // owned bytes; capacity is data.size()
  int chunk_size = chunk;  // free room kept before each read
  size_t used = 0;         // bytes of file data held in `data`
  // The line returned by the last successful file_buffer_read_string: NUL-terminated,
  // `line_len` bytes (up to a NUL inside the line, if any). Valid until the next call.
  char* line = nullptr;
  size_t line_len = 0;
  char* cursor = nullptr;  // where the next line starts; null until the first read
  size_t scanned = 0;      // bytes after `cursor` already known to hold no "\n"
  int fd = -1;             // opened read-only
  int error = 0;           // errno of the read that failed (ENOMEM for short memory)
  bool eof = false;        // the file ended

  file_buffer() = default;
  file_buffer(const file_buffer&) = delete;
  file_buffer& operator=(const file_buffer&) = delete;
  ~file_buffer();

  size_t capacity() const { return data.size(); }
};

// Opens `path` read-only and sets up an empty file buffer (capacity 32768, chunk 16384).
// Null when the file cannot be opened or memory is short (the descriptor is closed again);
// errno tells which (ENOMEM for memory).
std::unique_ptr<file_buffer> file_buffer_open(const char* path);

// Makes the next line available as `fb->line` / `fb->line_len` and returns 0. Returns 1 at
// end of file, on a read error, on short memory, or for a null buffer; after a 1, a set
// `fb->error` (file_buffer_failed) tells a failure apart from the end of the file. A last
// line without "\n" is not returned. Lines may be longer than a chunk: the buffer grows.
int file_buffer_read_string(file_buffer* fb);

// True when reading stopped because of a read error or short memory rather than the end of
// the file. Null: false.
bool file_buffer_failed(const file_buffer* fb);

// Releases the buffer and closes its descriptor. Null is accepted.
void file_buffer_close(std::unique_ptr<file_buffer> fb);

// Counts the lines that file_buffer_read_string delivers for `path`; -1 when the file cannot
// be opened or a read fails.
long file_buffer_line_count(const char* path);

// Reads every line of `path` through a file buffer into new strings (each one up to a NUL
// inside it, if any). Null when the file cannot be opened or a read fails.
std::optional<std::vector<std::string>> file_buffer_read_all(const char* path);

// Counts the "\n" bytes of `path`, that is its complete lines; -1 when the file cannot be
// opened or a read fails.
long file_line_count(const char* path);

// --- Files and directories -------------------------------------------------------------
// Predicates return 0 for yes and 1 for no; the others 0 or -1.

// 0 when `path` names a directory.
int dir_exists(const char* path);
// Creates the directory `path` with mode 0777 (less the umask).
int dir_create(const char* path);
// 0 when `path` exists (of any type).
int file_exists(const char* path);
// stat(2) of `path` into `*st`.
int file_stat(const char* path, struct stat* st);
// Size in bytes, or -1.
off_t file_size(const char* path);
// Time of last access, or -1.
time_t file_last_accessed(const char* path);
// Removes the directory `path` with everything in it. As a guard against wiping "/" or a
// short system path by mistake, `path` must be longer than 4 characters and end in "/";
// otherwise nothing is touched and -1 is returned. Symbolic links inside are removed, never
// followed.
int file_clear_all(const char* path);
