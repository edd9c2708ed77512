#pragma once
// Category sets: the small sorted, duplicate-free sets of unsigned 32-bit category numbers
// that lookups fill, category actions carry and explode uses to report its markers.
//
// The numbers are kept in ascending order without duplicates. Room starts at 10 numbers and
// grows by 10 at a time (by half of itself once it holds more than 1000, so that a hostile
// line of a million numbers costs no million copies), and emptying the set shrinks it back
// to room for 10, so a set that is reused line after line does not keep a large block. Not
// thread-safe: one owner.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class category_set {
 public:
  static constexpr uint32_t initial_capacity = 10;
  static constexpr uint32_t growth = 10;

  category_set() { items_.reserve(initial_capacity); }
  // Room for `capacity` numbers (at least 10).
  explicit category_set(uint32_t capacity) {
    items_.reserve(capacity < initial_capacity ? initial_capacity : capacity);
  }

  uint32_t count() const { return static_cast<uint32_t>(items_.size()); }
  uint32_t capacity() const { return static_cast<uint32_t>(items_.capacity()); }
  bool empty() const { return items_.empty(); }
  std::span<const uint32_t> items() const { return items_; }
  uint32_t operator[](uint32_t i) const { return items_[i]; }

  // Inserts n in order; returns false when it was already present. Costs a shift of the
  // larger numbers: to fill a set from a long list in any order, use append_unsorted.
  bool add(uint32_t n);
  // Bulk filling in n log n: append_unsorted adds n at the end without looking for its
  // place or a duplicate, and normalize(), called once after the last append, sorts the
  // numbers and drops duplicates. In between only count(), clear() and normalize() may be
  // used.
  void append_unsorted(uint32_t n);
  void normalize();
  // Adds every number of `other`.
  void add_all(const category_set& other);
  // Removes n (later numbers shift down); returns false when it was absent.
  bool remove(uint32_t n);
  bool contains(uint32_t n) const;
  // True when the two sets share at least one number.
  bool intersects(const category_set& other) const;
  // Empties the set and gives back any room beyond the initial 10.
  void clear();

  // Writes the numbers in ascending order as "%u" joined by "," (empty set: empty text).
  std::string to_string() const;
  void append_to(std::string& out) const;

  friend bool operator==(const category_set& a, const category_set& b) {
    return a.items_ == b.items_;
  }

 private:
  std::vector<uint32_t> items_;
};

// Parses a category-set option value such as "1,2,3" into a fresh set: read a base-10
// number (leading white space and a sign accepted, the value taken as unsigned 32-bit, as
// strtoul gives it); if a number was read, insert it; if the next character is a comma, go
// on after it, otherwise stop. So "7,x,9" gives {7} and "" gives the empty set; the rest of
// the text after the first piece that is neither is ignored.
category_set category_set_parse_option(const char* text);
