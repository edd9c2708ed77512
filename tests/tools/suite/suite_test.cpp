// What every program of the suite does alike at its edges: standard output that cannot be
// written fails the run, closed standard descriptors are reopened before any file is opened.

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

TEST(Suite, ClosedStandardOutputIsNotTakenByTheOutputFile) {
  cv_tempdir dir;
  dir.write("in.list", "a.test 5\nb.test U C 7\n");
  // Each program writes its output file; with descriptor 1 closed, that file would become
  // descriptor 1 and take the program's standard output too, unless it is reopened first.
  struct run {
    const char* name;
    std::vector<std::string> args;
  } runs[] = {
      {"cvlistmerge", {"-i", "in.list", "-o", "out"}},
      {"cvlistreduce", {"-i", "in.list", "-o", "out", "-p", "1"}},
  };
  for (const run& r : runs) {
    std::string cmd = cv_bin(r.name);
    for (const std::string& a : r.args) cmd += " " + a;
    cv_run_result res = cv_run({"/bin/sh", "-c", cmd + " >&-"}, "", dir.path());
    EXPECT_EQ(res.status, 0) << r.name << res.err;
    std::string out = dir.read("out");
    EXPECT_EQ(out.find("processing"), std::string::npos) << r.name << ": " << out;
    EXPECT_NE(out.find("b.test U C 7\n"), std::string::npos) << r.name << ": " << out;
  }
}

}  // namespace
