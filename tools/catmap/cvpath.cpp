#include "cvpath.h"

#include <cstdlib>

namespace {
std::string root;
}

void cvpath_init() {
  const char* env = getenv("CV_PATH");
  if (!env) {
    setenv("CV_PATH", cvpath_default_root, 0);
    env = getenv("CV_PATH");
  }
  root = env ? env : cvpath_default_root;
}

const std::string& cvpath_root() { return root; }

std::string cvpath_append(std::string_view text) {
  std::string out = root;
  if (!text.starts_with('/')) out.push_back('/');
  out.append(text);
  return out;
}
