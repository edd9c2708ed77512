#include "util/file.h"

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "util/cvlog.h"

namespace {

// read(2) that retries when a signal interrupts it.
ssize_t read_retry(int fd, void* buf, size_t n) {
  ssize_t r;
  do {
    r = read(fd, buf, n);
  } while (r < 0 && errno == EINTR);
  return r;
}

// Closes a descriptor on every path out of a function.
struct fd_guard {
  int fd;
  ~fd_guard() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::optional<std::string> file_read_all_size(const char* path, size_t* length) {
  if (path == nullptr) return std::nullopt;
  struct stat st;
  if (stat(path, &st) != 0) return std::nullopt;
  fd_guard f{open(path, O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) return std::nullopt;
  std::string data;
  try {
    data.resize(static_cast<size_t>(st.st_size));
  } catch (const std::exception&) {  // bad_alloc, or length_error for absurd sizes
    return std::nullopt;
  }
  size_t got = 0;
  while (got < data.size()) {
    ssize_t r = read_retry(f.fd, data.data() + got, data.size() - got);
    if (r < 0) return std::nullopt;
    if (r == 0) break;  // the file shrank since the status was taken
    got += static_cast<size_t>(r);
  }
  data.resize(got);
  if (length != nullptr) *length = got;
  return data;
}

std::optional<std::string> file_read_all(const char* path) {
  return file_read_all_size(path, nullptr);
}

char* file_read_all_string(char** cursor) {
  if (cursor == nullptr || *cursor == nullptr) return nullptr;
  char* line = *cursor;
  char* nl = strchr(line, '\n');
  if (nl == nullptr) return nullptr;
  if (nl > line && nl[-1] == '\r') nl[-1] = '\0';
  *nl = '\0';
  *cursor = nl + 1;
  return line;
}

void file_stream_closer::operator()(FILE* f) const {
  if (f != nullptr) fclose(f);
}

file_stream file_open(const char* path, const char* mode) {
  FILE* f = path != nullptr && mode != nullptr ? fopen(path, mode) : nullptr;
  if (f == nullptr) {
    cvlog_send(CVLOG_ERROR, "Could not open file %s mode %s\n", path ? path : "(null)",
               mode ? mode : "(null)");
  }
  return file_stream(f);
}

namespace {

// Shared by the stream and descriptor readers: `next` yields a byte or -1 at end of input.
template <typename Next>
std::optional<std::string> read_line_bytewise(Next next) {
  std::string line;
  size_t room = 501;
  try {
    line.reserve(room);
  } catch (const std::bad_alloc&) {
    cvlog_send(CVLOG_ERROR, "Failed on Malloc, file_read_string\n");
    return std::nullopt;
  }
  for (;;) {
    int c = next();
    if (c < 0) return std::nullopt;  // end of input; a partial last line is dropped
    if (c == '\n') break;
    if (line.size() + 1 >= room) {
      room += 500;
      try {
        line.reserve(room);
      } catch (const std::bad_alloc&) {
        cvlog_send(CVLOG_ERROR, "Failed on realloc, file_read_string\n");
        return std::nullopt;
      }
    }
    line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> file_read_string(FILE* stream) {
  if (stream == nullptr) return std::nullopt;
  return read_line_bytewise([stream] {
    int c = getc(stream);
    return c == EOF ? -1 : c;
  });
}

std::optional<std::string> file_read_string_fd(int fd) {
  if (fd < 0) return std::nullopt;
  return read_line_bytewise([fd] {
    unsigned char c;
    return read_retry(fd, &c, 1) == 1 ? static_cast<int>(c) : -1;
  });
}

file_buffer::~file_buffer() {
  if (fd >= 0) close(fd);
}

std::unique_ptr<file_buffer> file_buffer_open(const char* path) {
  if (path == nullptr) return nullptr;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::unique_ptr<file_buffer> fb;
  try {
    fb = std::make_unique<file_buffer>();
    fb->data.resize(file_buffer::initial_capacity);
  } catch (const std::bad_alloc&) {
    // The descriptor is closed here once: the buffer never owned it.
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  fb->fd = fd;
  return fb;
}

int file_buffer_read_string(file_buffer* fb) {
  if (fb == nullptr) return 1;
  for (;;) {
    char* base = fb->data.data();
    char* end = base + fb->used;
    if (fb->cursor != nullptr) {
      char* from = fb->cursor + fb->scanned;
      char* nl = static_cast<char*>(memchr(from, '\n', static_cast<size_t>(end - from)));
      if (nl != nullptr) {
        char* line = fb->cursor;
        size_t len = static_cast<size_t>(nl - line);
        if (len > 0 && line[len - 1] == '\r') len--;
        line[len] = '\0';
        fb->cursor = nl + 1;
        fb->scanned = 0;
        // A NUL inside the line ends its text; the bytes behind it up to "\n" are dropped.
        if (const void* nul = memchr(line, '\0', len)) {
          len = static_cast<size_t>(static_cast<const char*>(nul) - line);
        }
        fb->line = line;
        fb->line_len = len;
        return 0;
      }
      // Remember how far we looked, so a long line is not searched again after each read.
      fb->scanned = static_cast<size_t>(end - fb->cursor);
    }
    fb->line = nullptr;
    fb->line_len = 0;
    if (fb->eof || fb->error != 0) return 1;

    // Keep only the unconsumed tail, at the start of the data.
    size_t tail = fb->cursor != nullptr ? static_cast<size_t>(end - fb->cursor) : fb->used;
    if (fb->cursor != nullptr && fb->cursor != base) memmove(base, fb->cursor, tail);
    fb->used = tail;

    if (fb->capacity() - fb->used < static_cast<size_t>(fb->chunk_size)) {
      // Grow geometrically (at least by one chunk) so that a very long line costs linear
      // time rather than one copy of everything held per chunk.
      try {
        fb->data.resize(
            std::max(fb->capacity() + static_cast<size_t>(fb->chunk_size), fb->capacity() * 2));
      } catch (const std::exception&) {
        fb->error = ENOMEM;
        return 1;
      }
      base = fb->data.data();
    }
    fb->cursor = base;

    // Fill all free room but one byte, which keeps the held data NUL-terminated.
    ssize_t r = read_retry(fb->fd, base + fb->used, fb->capacity() - fb->used - 1);
    if (r < 0) {
      fb->error = errno != 0 ? errno : EIO;
      return 1;
    }
    if (r == 0) {
      fb->eof = true;  // an unterminated last line stays unconsumed
      return 1;
    }
    fb->used += static_cast<size_t>(r);
    base[fb->used] = '\0';
  }
}

bool file_buffer_failed(const file_buffer* fb) { return fb != nullptr && fb->error != 0; }

void file_buffer_close(std::unique_ptr<file_buffer> fb) { fb.reset(); }

long file_buffer_line_count(const char* path) {
  auto fb = file_buffer_open(path);
  if (!fb) return -1;
  long n = 0;
  while (file_buffer_read_string(fb.get()) == 0) n++;
  return file_buffer_failed(fb.get()) ? -1 : n;
}

std::optional<std::vector<std::string>> file_buffer_read_all(const char* path) {
  auto fb = file_buffer_open(path);
  if (!fb) return std::nullopt;
  std::vector<std::string> lines;
  while (file_buffer_read_string(fb.get()) == 0) lines.emplace_back(fb->line, fb->line_len);
  if (file_buffer_failed(fb.get())) return std::nullopt;
  return lines;
}

long file_line_count(const char* path) {
  if (path == nullptr) return -1;
  fd_guard f{open(path, O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) return -1;
  std::vector<char> buf(65536);
  long n = 0;
  for (;;) {
    ssize_t r = read_retry(f.fd, buf.data(), buf.size());
    if (r < 0) return -1;
    if (r == 0) return n;
    n += std::count(buf.data(), buf.data() + r, '\n');
  }
}

int dir_exists(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : 1;
}

int dir_create(const char* path) { return path != nullptr && mkdir(path, 0777) == 0 ? 0 : -1; }

int file_exists(const char* path) {
  struct stat st;
  return path != nullptr && lstat(path, &st) == 0 ? 0 : 1;
}

int file_stat(const char* path, struct stat* st) {
  return path != nullptr && st != nullptr && stat(path, st) == 0 ? 0 : -1;
}

off_t file_size(const char* path) {
  struct stat st;
  return file_stat(path, &st) == 0 ? st.st_size : -1;
}

time_t file_last_accessed(const char* path) {
  struct stat st;
  return file_stat(path, &st) == 0 ? st.st_atime : -1;
}

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 ? 0 : -1;
}
}  // namespace

int file_clear_all(const char* path) {
  if (path == nullptr) return -1;
  size_t n = strlen(path);
  if (n <= 4 || path[n - 1] != '/') return -1;
  // Depth first so that each directory is empty when its turn comes; FTW_PHYS removes a
  // symbolic link itself instead of walking into what it points to.
  return nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS) == 0 ? 0 : -1;
}
