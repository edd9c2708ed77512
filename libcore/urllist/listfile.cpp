#include "urllist/listfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "urllist/urllist.h"
#include "urllist/urllist_impl.h"
#include "util/cvlog.h"
#include "util/file.h"
#include "util/rwl.h"

namespace {

bool starts_with_digit(const char* s) { return s[0] >= '0' && s[0] <= '9'; }

// Cuts `line` at its first three single spaces: up to 4 fields, the last taking the rest.
int split_fields(char* line, char* fields[4]) {
  int n = 1;
  fields[0] = line;
  for (char* p = line; *p != '\0' && n < 4; ++p) {
    if (*p == ' ') {
      *p = '\0';
      fields[n++] = p + 1;
    }
  }
  return n;
}

}  // namespace

int urllist_add_line(urllist* list, char* line, int list_type) {
  if (list == nullptr || line == nullptr) return -1;
  // Splitting in place needs no memory, so the "could not be split" result never arises here.
  char* f[4] = {};
  int n = split_fields(line, f);
  if (n == 1) return 0;

  const char* entry = f[0];
  int rc = 0;
  // An add reports memory exhaustion as -2, which it shares with a few bad entries; the
  // allocator's ENOMEM tells them apart. Loading on without memory would leave a list that
  // silently lacks entries, so that stops the load.
  errno = 0;
  bool value_shape = n == 2 || (n == 3 && starts_with_digit(f[1]));
  if (value_shape) {
    const char* value = n == 2 ? f[1] : f[2];
    switch (list_type) {
      case URLLIST_TYPE_DENY:
        rc = urllist_add(list, entry, nullptr, "D", nullptr, -1);
        break;
      case URLLIST_TYPE_ALLOW:
        rc = urllist_add(list, entry, nullptr, "A", nullptr, -1);
        break;
      case URLLIST_TYPE_ALLOW_DENY:
        rc = urllist_add(list, entry, nullptr, value[0] == '1' ? "A" : "D", nullptr, -1);
        break;
      case URLLIST_TYPE_URL_CATEGORY:
        rc = urllist_add(list, entry, "U", "C", value, -1);
        break;
      default:  // full and category lists
        rc = urllist_add_category_string(list, entry, value);
        break;
    }
    if (rc != 0) {
      cvlog_send(4, "urllist_add_file: failed to add url '%s' with categories '%s'\n", entry,
                 value);
      if (rc == -2 && errno == ENOMEM) return URLLIST_LOAD_NO_MEMORY;
    }
    return 0;
  }

  const char* type = f[1];
  const char* word = f[2];
  const char* argument = n == 4 ? f[3] : nullptr;
  switch (list_type) {
    case URLLIST_TYPE_DENY:
      rc = urllist_add(list, entry, type, "D", nullptr, -1);
      break;
    case URLLIST_TYPE_ALLOW:
      rc = urllist_add(list, entry, type, "A", nullptr, -1);
      break;
    case URLLIST_TYPE_ALLOW_DENY:
      if (argument != nullptr || (word[0] != 'D' && word[0] != 'A')) return 0;
      rc = urllist_add(list, entry, type, word, nullptr, -1);
      break;
    case URLLIST_TYPE_CATEGORY:
      if (argument == nullptr || word[0] != 'C') return 0;
      rc = urllist_add(list, entry, type, word, argument, -1);
      break;
    default:  // full and URL category lists
      rc = urllist_add(list, entry, type, word, argument, -1);
      break;
  }
  if (rc != 0) {
    if (argument == nullptr) {
      cvlog_send(4, "urllist_add_file: failed to add item '%s' type: '%s' action: '%s'\n", entry,
                 type, word);
    } else {
      cvlog_send(4, "urllist_add_file: failed to add item '%s' type: '%s' action: '%s %s'\n", entry,
                 type, word, argument);
    }
    if (rc == -2 && errno == ENOMEM) return URLLIST_LOAD_NO_MEMORY;
  }
  return 0;
}

namespace {

// Tells the list's child index how many entries to expect from the whole file, from what the
// lines read so far added (a regular file's size is known; a pipe's is not).
// A size of 0 (unknown) clears the estimate.
void expect_from_progress(urllist* list, size_t file_size, size_t consumed) {
  rwl_write_guard guard(list->shared() ? list->lock.get() : nullptr);
  if (!guard.ok()) return;
  if (file_size == 0 || consumed == 0 || consumed >= file_size) {
    list->index.expected = 0;
    return;
  }
  const double share = static_cast<double>(file_size) / static_cast<double>(consumed);
  list->index.expected = static_cast<size_t>(static_cast<double>(list->index.count) * share);
}

}  // namespace

int urllist_add_file(urllist* list, const char* path, int list_type) {
  if (list == nullptr || path == nullptr) return URLLIST_LOAD_MISSING;
  std::unique_ptr<file_buffer> fb = file_buffer_open(path);
  if (!fb) return URLLIST_LOAD_CANNOT_OPEN;  // errno from the open
  struct stat st {};
  const size_t file_size =
      fstat(fb->fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
  size_t consumed = 0;
  long lines = 0;
  while (file_buffer_read_string(fb.get()) == 0) {
    ++lines;
    consumed += fb->line_len + 1;
    if ((lines & 0xffff) == 0) expect_from_progress(list, file_size, consumed);
    char* line = fb->line;
    if (line[0] == '\0' || line[0] == '#') continue;
    if (urllist_add_line(list, line, list_type) != 0) {
      file_buffer_close(std::move(fb));
      errno = ENOMEM;
      return URLLIST_LOAD_NO_MEMORY;
    }
  }
  // A read that stopped early must not pass for a complete list.
  if (file_buffer_failed(fb.get())) {
    cvlog_send(4, "urllist_add_file: read error in '%s' after %ld lines\n", path, lines);
    const int e = fb->error;
    file_buffer_close(std::move(fb));
    errno = e;
    return URLLIST_LOAD_READ_ERROR;
  }
  file_buffer_close(std::move(fb));
  expect_from_progress(list, 0, 0);  // the file is read: no estimate carries over
  return URLLIST_LOAD_OK;
}

int urllist_add_buffer(urllist* list, std::string_view chunk, std::string* pending, int list_type) {
  if (list == nullptr || pending == nullptr) return URLLIST_LOAD_MISSING;
  try {
    pending->append(chunk);
  } catch (const std::bad_alloc&) {
    return URLLIST_LOAD_NO_MEMORY;
  }
  size_t start = 0;
  int rc = 0;
  while (start < pending->size()) {
    size_t nl = pending->find('\n', start);
    if (nl == std::string::npos) break;
    (*pending)[nl] = '\0';
    char* line = pending->data() + start;
    start = nl + 1;
    if (line[0] == '\0' || line[0] == '#') continue;
    rc = urllist_add_line(list, line, list_type);
    if (rc != 0) break;
  }
  pending->erase(0, start);
  return rc == 0 ? 0 : URLLIST_LOAD_NO_MEMORY;
}
