#include "string_list.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>

namespace {

size_t clamp(size_t v, size_t lo, size_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// Reserves room for `len` bytes plus a NUL in the newest block (or a new one) and returns it.
char* string_list_room(string_list* list, size_t len) {
  size_t need = len + 1;
  if (list->blocks.empty() || list->newest_size - list->used < need) {
    size_t size = need > list->block_size ? need : list->block_size;
    list->blocks.reserve(list->blocks.size() + 1);
    list->blocks.push_back(std::unique_ptr<char[]>(new char[size]));
    list->newest_size = size;
    list->used = 0;
  }
  return list->blocks.back().get() + list->used;
}

int string_list_append(string_list* list, const char* s, size_t len) {
  try {
    if (list->index.size() == list->index.capacity()) {
      list->index.reserve(list->index.size() + (list->step == 0 ? 5 : list->step));
    }
    char* p = string_list_room(list, len);
    memcpy(p, s, len);
    p[len] = '\0';
    list->used += len + 1;
    list->index.push_back(p);
    return 0;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

}  // namespace

std::unique_ptr<string_list> string_list_initialize_size(size_t block_size, size_t expected) {
  auto list = std::make_unique<string_list>();
  list->block_size = clamp(block_size, 50, 10000);
  list->step = clamp(expected + 1, 5, 200);
  list->index.reserve(list->step);
  return list;
}

int string_list_initialize(string_list* list, size_t expected, size_t bytes_per_entry) {
  string_list_clear(list);
  list->block_size = clamp(bytes_per_entry * (expected + 1), 50, 10000);
  list->step = clamp(expected, 5, 200);
  return 0;
}

int string_list_add(string_list* list, const char* s, const char* end) {
  size_t len = end != nullptr ? static_cast<size_t>(end - s) : strlen(s);
  return string_list_append(list, s, len);
}

int string_list_add_v(string_list* list, ...) {
  std::string joined;
  va_list ap;
  va_start(ap, list);
  try {
    for (const char* s = va_arg(ap, const char*); s != nullptr; s = va_arg(ap, const char*)) {
      joined += s;
    }
  } catch (const std::bad_alloc&) {
    va_end(ap);
    errno = ENOMEM;
    return -1;
  }
  va_end(ap);
  return string_list_append(list, joined.data(), joined.size());
}

size_t string_list_get_size(const string_list* list) { return list->index.size(); }

const char* string_list_get_str(const string_list* list, size_t i) {
  if (i >= list->index.size()) {
    errno = ENOENT;
    return nullptr;
  }
  return list->index[i];
}

int string_list_del_str(string_list* list, size_t i) {
  if (i >= list->index.size()) {
    errno = ENOENT;
    return -1;
  }
  list->index.erase(list->index.begin() + static_cast<std::ptrdiff_t>(i));
  return 0;
}

void string_list_clear(string_list* list) {
  list->blocks.clear();
  list->index.clear();
  list->used = 0;
  list->newest_size = 0;
}

void string_list_destroy(std::unique_ptr<string_list> list) { list.reset(); }
