// cvlistcheck run as a careless or hostile caller would: hostile regular expressions, full
// or closed standard output, file-size and memory limits. Each case failed before its mend
// (a crash, a run that passed, or lines in the wrong file).

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/hostile.h"
#include "support/run_process.h"

namespace {

class CvlistcheckHostileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_.write("base.list", "h.test U C 1\ndeny.test U D\n"); }
  cv_run_result sh(const std::string& script, const std::string& input = "") {
    return cv_run_shell(script, dir_.path(), input);
  }
  cv_tempdir dir_;
};

TEST_F(CvlistcheckHostileTest, RegularExpressionsThatCrashedOrRanAway) {
  struct row {
    const char* line;
    const char* reason;
  };
  const row rows[] = {
      {"/(|)(\\1\\1)*/ 5", "back-reference"},  // SIGSEGV in the matcher
      {"/((a{1,255}){1,255}){1,255}/ R C 1", "repetitions too large"},        // 24 GB
      {"/(((a{1,40}){1,40}){1,40}){1,40}/ R C 1", "repetitions too large"},  // 1.8 GB, 3 s
      {"/(.*)(.*)(.*)(.*)(.*)\\5\\4\\3\\2\\1x/ R C 1", "back-reference"},    // 19 s a lookup
  };
  for (const row& r : rows) {
    dir_.write("r.list", std::string("good.test U C 1\n") + r.line + "\n");
    auto res = cv_run({cv_bin("cvlistcheck"), "-i", "r.list", "-u",
                       "http://other.test/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaax"},
                      "", dir_.path());
    std::string text = r.line;
    text = text.substr(0, text.find(' '));
    EXPECT_NE(res.err.find("urllist_add: regular expression '" + text + "' refused: " + r.reason +
                           "\n"),
              std::string::npos)
        << res.err;
    EXPECT_EQ(res.out,
              "Loading Lists\nLists Loaded\n"
              "http://other.test/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaax NOT FOUND\n");
    EXPECT_EQ(res.status, 1) << r.line;
  }
  // Expressions within the bounds still work, and a long URL costs a linear scan.
  dir_.write("r.list", "/(a|b)*a(a|b){200}c/ R C 7\n/casino[0-9]+/ 8\n");
  std::string url = "http://h.test/";
  for (int i = 0; i < 3000; ++i) url.push_back("ab"[(i * 7 + i / 3) % 2]);
  dir_.write("urls", url + "\nhttp://h.test/casino21\n" + url + "a" + std::string(200, 'b') +
                         "c\n");
  auto res = cv_run({cv_bin("cvlistcheck"), "-q", "-s", "u", "-i", "r.list", "-f", "urls"}, "",
                    dir_.path());
  EXPECT_EQ(res.err, "");
  EXPECT_NE(res.out.find("USTATS ----------------------------------------------------------\n"
                         "USTATS 2 1 0 3\n"),
            std::string::npos)
      << res.out;
}

TEST_F(CvlistcheckHostileTest, StandardOutputFullOrClosed) {
  // -h and -v wrote into a full disk and passed.
  for (const char* opt : {"-h", "-v"}) {
    auto r = sh(std::string("exec \"$BIN/cvlistcheck\" ") + opt + " >/dev/full");
    EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n") << opt;
    EXPECT_EQ(r.status, 1) << opt;
  }
  // With standard output closed, the -o file became descriptor 1 and the statistics landed
  // in it.
  auto r = sh("exec \"$BIN/cvlistcheck\" -c -i base.list -u http://h.test/ -o out.txt >&-");
  EXPECT_EQ(dir_.read("out.txt"), "Loading Lists\nLists Loaded\nhttp://h.test/ Category: 1\n");
  EXPECT_EQ(r.status, 0);
  // Standard error closed as well: the run is not disturbed.
  r = sh("exec \"$BIN/cvlistcheck\" -i base.list -u http://deny.test/ -o out.txt >&- 2>&-");
  EXPECT_EQ(dir_.read("out.txt"), "Loading Lists\nLists Loaded\nhttp://deny.test/ Denied\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckHostileTest, FileSizeLimitLeavesTheOldOutput) {
  std::string urls;
  for (int i = 0; i < 2000; ++i) urls += "http://h.test/page/" + std::to_string(i) + "\n";
  dir_.write("urls", urls);
  dir_.write("out.txt", "old\n");
  // SIGXFSZ killed the program and left a partial temporary file.
  auto r = sh("ulimit -f 8; exec \"$BIN/cvlistcheck\" -i base.list -f urls -o out.txt");
  EXPECT_EQ(r.err, "Error writing outfile out.txt: File too large\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.txt"), "old\n");
  EXPECT_EQ(cv_leftover_temporaries(dir_.path()), "");
}

TEST_F(CvlistcheckHostileTest, OutOfMemoryIsAnError) {
  if (cv_sanitized_build) GTEST_SKIP() << "address space limits and AddressSanitizer exclude "
                                          "each other";
  {
    // A URL line of 150 MB in the middle of the check file; the getline buffer cannot hold
    // it under the limit. The run passed, and the URLs after it went unchecked.
    std::ofstream f(dir_.path() + "/urls");
    f << "http://h.test/\nhttp://h.test/" << std::string(150u << 20, 'a')
      << "\nhttp://nothing.test/\n";
  }
  auto r = sh("ulimit -v 200000; exec \"$BIN/cvlistcheck\" -i base.list -f urls -o out.txt");
  EXPECT_EQ(r.err, "out of memory\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.txt"), "");
  EXPECT_EQ(cv_leftover_temporaries(dir_.path()), "");
  // The same line in a list file stops the load.
  std::rename((dir_.path() + "/urls").c_str(), (dir_.path() + "/big.list").c_str());
  r = sh("ulimit -v 200000; exec \"$BIN/cvlistcheck\" -i big.list -u http://h.test/");
  EXPECT_NE(r.err.find("out of memory\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "Loading Lists\n");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
