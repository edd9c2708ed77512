#include "listrdns_input.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/string.h"

namespace {

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_url_word(const char* w) { return is_letter(w[0]) && strstr(w, "://") != nullptr; }

int address_family(std::string_view text) {
  std::string s(text);
  unsigned char buf[16];
  if (inet_pton(AF_INET, s.c_str(), buf) == 1) return AF_INET;
  if (inet_pton(AF_INET6, s.c_str(), buf) == 1) return AF_INET6;
  return 0;
}

}  // namespace

std::string_view listrdns_line_host(char* line, bool resolve_all) {
  if (line[0] == '#' || line[0] == '\0' || line[0] == '\n') return {};
  int count = 0;
  std::vector<char*> f = string_explode_limit(line, ' ', 4, &count);
  bool take = count == 1 || (count == 2 && is_url_word(f[0])) ||
              (count == 3 && is_digit(f[1][0]) && is_url_word(f[0])) ||
              (count >= 3 && f[1][0] == 'U' && f[1][1] != 'h');
  if (!take) return {};
  char* text = f[0];
  string_tolower(text);
  if (!resolve_all && strncmp(text, "http://", 7) == 0) return {};

  const char* start = strstr(text, "://");
  start = start != nullptr ? start + 3 : text;
  std::string_view host;
  if (*start == '[') {
    ++start;
    const char* close = strchr(start, ']');
    host = close != nullptr ? std::string_view(start, static_cast<size_t>(close - start))
                            : std::string_view(start);
  } else {
    host = std::string_view(start, strcspn(start, "\n\r /:?"));
  }
  if (host.empty()) return {};
  if (address_family(host) != 0) return {};
  size_t dash = host.find('-');
  if (dash != std::string_view::npos) {
    int a = address_family(host.substr(0, dash));
    if (a != 0 && a == address_family(host.substr(dash + 1))) return {};
  }
  if (host.find('*') != std::string_view::npos) return {};
  return host;
}
