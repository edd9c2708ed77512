// What every program of the suite does alike at its edges: standard output that cannot be
// written fails the run.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run_process.h"

namespace {

struct program {
  const char* name;
  const char* banner_option;  // cvcatmap's -v takes a version, so its banner is -b
};

const program programs[] = {
    {"cvlistcheck", "-v"},  {"cvlistmerge", "-v"}, {"cvlistreduce", "-v"},
    {"cvcatmerge", "-v"},   {"cvlistrdns", "-v"},  {"cvcatmap", "-b"},
};

TEST(Suite, HelpAndBannerOnAFullDeviceFailTheRun) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  for (const program& p : programs) {
    for (const char* option : {"-h", p.banner_option}) {
      // cvcatmap's usage text always ends its run with status 255.
      const bool usage_status = std::string(p.name) == "cvcatmap" && std::string(option) == "-h";
      cv_run_result r = cv_run({"/bin/sh", "-c", cv_bin(p.name) + " " + option + " > /dev/full"});
      EXPECT_EQ(r.status, usage_status ? 255 : 1) << p.name << " " << option;
      EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n")
          << p.name << " " << option;
      // The same text to a pipe is a success.
      r = cv_run({cv_bin(p.name), option});
      EXPECT_EQ(r.status, usage_status ? 255 : 0) << p.name << " " << option;
      EXPECT_FALSE(r.out.empty()) << p.name << " " << option;
    }
  }
}

}  // namespace
