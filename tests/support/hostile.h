#pragma once
// Helpers for the end-to-end tests that run a program the way a careless or hostile caller
// would: under resource limits, with standard descriptors closed or full.

#include <dirent.h>

#include <string>

#include "support/run_process.h"

// Runs `script` with /bin/sh -c in `cwd`. The script names the program under test through
// "$BIN" (the folder of the built programs).
inline cv_run_result cv_run_shell(const std::string& script, const std::string& cwd,
                                  const std::string& input = "") {
  const std::string bin = cv_bin("x");
  const std::string dir = bin.substr(0, bin.size() - 2);
  return cv_run({"/bin/sh", "-c", "BIN='" + dir + "'; " + script}, input, cwd);
}

// Address space limits (ulimit -v) cannot be combined with AddressSanitizer, which reserves
// terabytes of address space at start; such cases are skipped in sanitized builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool cv_sanitized_build = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool cv_sanitized_build = true;
#else
constexpr bool cv_sanitized_build = false;
#endif
#else
constexpr bool cv_sanitized_build = false;
#endif

// Names in `dir` that end in ".tmp": temporary outputs left behind.
inline std::string cv_leftover_temporaries(const std::string& dir) {
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) found += name + " ";
    }
    closedir(d);
  }
  return found;
}
