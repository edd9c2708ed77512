#include "util/category_set.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace {

// Room after the next growth step: a fixed step while the set is small (sets are small and
// numerous), half as much again beyond 1000 numbers so that growing stays linear.
size_t grown_capacity(size_t capacity) {
  return capacity > 1000 ? capacity + capacity / 2 : capacity + category_set::growth;
}

}  // namespace

bool category_set::add(uint32_t n) {
  auto it = std::lower_bound(items_.begin(), items_.end(), n);
  if (it != items_.end() && *it == n) return false;
  if (items_.size() == items_.capacity()) {
    size_t pos = static_cast<size_t>(it - items_.begin());
    items_.reserve(grown_capacity(items_.capacity()));
    it = items_.begin() + static_cast<std::ptrdiff_t>(pos);
  }
  items_.insert(it, n);
  return true;
}

void category_set::append_unsorted(uint32_t n) {
  if (items_.size() == items_.capacity()) items_.reserve(grown_capacity(items_.capacity()));
  items_.push_back(n);
}

void category_set::normalize() {
  std::sort(items_.begin(), items_.end());
  items_.erase(std::unique(items_.begin(), items_.end()), items_.end());
}

void category_set::add_all(const category_set& other) {
  if (other.items_.size() > 16) {
    for (uint32_t n : other.items_) append_unsorted(n);
    normalize();
    return;
  }
  for (uint32_t n : other.items_) add(n);
}

bool category_set::remove(uint32_t n) {
  auto it = std::lower_bound(items_.begin(), items_.end(), n);
  if (it == items_.end() || *it != n) return false;
  items_.erase(it);
  return true;
}

bool category_set::contains(uint32_t n) const {
  return std::binary_search(items_.begin(), items_.end(), n);
}

bool category_set::intersects(const category_set& other) const {
  auto a = items_.begin(), b = other.items_.begin();
  while (a != items_.end() && b != other.items_.end()) {
    if (*a == *b) return true;
    if (*a < *b) ++a; else ++b;
  }
  return false;
}

void category_set::clear() {
  if (items_.capacity() > initial_capacity) {
    std::vector<uint32_t> fresh;
    fresh.reserve(initial_capacity);
    items_.swap(fresh);
  } else {
    items_.clear();
  }
}

void category_set::append_to(std::string& out) const {
  char buf[16];
  for (size_t i = 0; i < items_.size(); ++i) {
    if (i) out.push_back(',');
    auto r = std::to_chars(buf, buf + sizeof buf, items_[i]);
    out.append(buf, r.ptr);
  }
}

std::string category_set::to_string() const {
  std::string s;
  append_to(s);
  return s;
}

category_set category_set_parse_option(const char* text) {
  category_set set;
  const char* p = text;
  while (p != nullptr && *p != '\0') {
    char* end = nullptr;
    unsigned long v = strtoul(p, &end, 10);
    if (end != p) set.append_unsorted(static_cast<uint32_t>(v));
    if (*end != ',') break;
    p = end + 1;
  }
  set.normalize();
  return set;
}
