#include "urllist/pcre_regex.h"

#include <pcre.h>

#include <climits>

// The library hands out a C object released with pcre_free; pcre_regex is only a name for
// it on our side, so the pointer is converted back and forth here and nowhere else.
struct pcre_regex {};

void pcre_regex_deleter::operator()(pcre_regex* re) const {
  if (re) pcre_free(reinterpret_cast<pcre*>(re));
}

pcre_regex_ptr pcre_regex_compile(const char* pattern, std::string* error, int* error_offset) {
  const char* err = nullptr;
  int offset = 0;
  pcre* re = pcre_compile(pattern, 0, &err, &offset, nullptr);
  if (!re) {
    if (error) *error = err ? err : "";
    if (error_offset) *error_offset = offset;
    return nullptr;
  }
  return pcre_regex_ptr(reinterpret_cast<pcre_regex*>(re));
}

int pcre_regex_exec(const pcre_regex* re, std::string_view subject,
                    int (&ovector)[pcre_regex_ovector_size]) {
  if (!re || subject.size() > static_cast<size_t>(INT_MAX)) return PCRE_ERROR_NOMATCH;
  return pcre_exec(reinterpret_cast<const pcre*>(re), nullptr, subject.data(),
                   static_cast<int>(subject.size()), 0, 0, ovector, pcre_regex_ovector_size);
}
