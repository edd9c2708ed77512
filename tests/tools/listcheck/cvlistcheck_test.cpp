// End-to-end tests: the built cvlistcheck run as a process on list files in a scratch
// directory, comparing standard output, standard error and the exit status.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/run_process.h"

namespace {

const char* const usage_text =
    "usage: cvlistcheck options\n"
    "\t-h\t\tDisplay this help.\n"
    "\t-v\t\tDisplay the version of this tool.\n"
    "\t-q\t\tQuiet Mode. Do not display url lookup results. This does not affect statistics.\n"
    "\t-d\t\tDisplay detailed results. Does nothing if quiet mode is enabled.\n"
    "\t-S\t\tStop on failure.\n"
    "\t-i filename\tThe file to load that will be used as the database. This option can be "
    "specified multiple times.\n"
    "\t-u url\t\tA single URL to lookup.  This option can be specified multiple times.\n"
    "\t\t\t\tIncompatible with -x and -n options.\n"
    "\t-f filename\tA file of URLs/list entries to be looked up. \"-\" for stdin.\n"
    "\t-o filename\tThe file to output messages to. This does not include stats or errors. "
    "Unspecified or \"-\" for stdout.\n"
    "\t-C\t\tCompare results with expected categories/actions from list entries given in -u or "
    "-f options.\n"
    "\t\t\t\tExamples: '-C -u http://www.example.com/ 4,23'. Incompatible with -x and -n "
    "options.\n"
    "\t-e expected\tThe expected results (categories/actions) for ALL urls provided with -u.\n"
    "\t\t\t\t Examples: '-e 23,24', '-e A', '-e D'. Incompatible with -x and -n options.\n"
    "\t-x unexpected\tThe unexpected category results for ALL urls in the -f file compared "
    "against -i files.\n"
    "\t\t\t\"unexpected\" is a comma separated list of categories.\n"
    "\t\t\tCompares each URL in -f file associated with any of \"unexpected\" categories.\n"
    "\t\t\t\tExamples: '-x 23,24', '-x 23'\n"
    "\t\t\tDisplays the matched entries in the -i files.\n"
    "\t\t\t\tIncompatible with -u, -e, -C, -t, -T options.\n"
    "\t-T filename\tCompare URL/list entry results provided in the -f file with entries in a "
    "specified file using Trace URL\n"
    "\t\t\t\tIncompatible with -x option.\n"
    "\t-t expected\tCompare results for URLs provided with the -u option with the provided entry "
    "using Trace URL\n"
    "\t\t\t\tIncompatible with -x option.\n"
    "\t-K charset\tThe charset that encodes IDN (Internationalized Domain Name) in the file to be "
    "used as the database. Giving a charset that encodes the IDNs, such as UTF-8, enables IDNs "
    "parsing in the file.\n"
    "\t-k charset\tThe charset that encodes IDN (Internationalized Domain Name) in the file of "
    "URLs/list entries to be looked up. Giving a charset that encodes the IDNs, such as UTF-8, "
    "enables IDNs parsing in the file.\n"
    "\t-c\t\tDisplay complete statistics.\n"
    "\t-s type\t\tDisplay specific statistics. l for list stats u for url lookup stats.\n"
    "\t\t\tThe url lookup stats will display in a space delimited table of successful and failed "
    "results, in the format:\n"
    "\t\t\t 'USTATS lookupok lookupfail lookuperr total'.\n"
    "\t\t\tA header with this information is displayed, then each second's results are "
    "displayed. A total is displayed after a separator line.\n"
    "\t\t\tThis will also display the maximum, average, and minimum lookup time.\n"
    "\t\t\tThe list stats will display time to load each list and time to load all lists. These "
    "stats are prefixed by 'LSTATS:'.\n"
    "\t-n\t\tInexact categories set match (at least 1 category match expected) of matching URL "
    "entries from -f against -i files.\n"
    "\t\t\tOutputs the matched entries from -f file in the [URL categories] format.\n"
    "\t\t\t\tIncompatible with -e -C -t -T -x options.\n";

const char* const loaded = "Loading Lists\nLists Loaded\n";

// One entry of each action kind the tool prints differently.
const char* const base_list =
    "h.test U C 1\n"
    "w.h.test U C 24,23\n"
    "deny.test U D\n"
    "allow.test U A\n"
    "h.test/none U N\n"
    "h.test/list U L 5\n"
    "q.test U Q -utm\n"
    "h.test/hdr U H X-A: 1\n";

class CvlistcheckTest : public ::testing::Test {
 protected:
  void SetUp() override { list_ = dir_.write("base.list", base_list); }

  cv_run_result run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), cv_bin("cvlistcheck"));
    return cv_run(args, input, dir_.path());
  }
  // Runs with -i base.list first.
  cv_run_result check(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"-i", "base.list"});
    return run(args, input);
  }
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }

  cv_tempdir dir_;
  std::string list_;
};

TEST_F(CvlistcheckTest, HelpAndVersion) {
  auto r = run({"-h"});
  EXPECT_EQ(r.out, usage_text);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  // -h ends the run at once, before anything is loaded or validated.
  r = run({"-n", "-C", "-h", "-i", "missing.list"});
  EXPECT_EQ(r.out, usage_text);
  EXPECT_EQ(r.status, 0);

  r = run({"-v"});
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("Corvane List Check 6\\.3\\.3 Build: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                        "\\d\\d:\\d\\d:\\d\\d\n")))
      << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, OptionConflictsPrintTheirMessageAndTheUsage) {
  struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-n", "-C", "-f", "x"}, "Cannot use -n with -C -e -t -T -u!\n"},
      {{"-n", "-e", "5", "-f", "x"}, "Cannot use -n with -C -e -t -T -u!\n"},
      {{"-n", "-T", "t", "-f", "x"}, "Cannot use -n with -C -e -t -T -u!\n"},
      {{"-n", "-t", "h.test", "-f", "x"}, "Cannot use -n with -C -e -t -T -u!\n"},
      {{"-n", "-u", "http://h.test/", "-f", "x"}, "Cannot use -n with -C -e -t -T -u!\n"},
      {{"-n"}, "-f file must be specified with -n option!\n"},
      {{"-x", "5", "-C", "-f", "x"}, "Cannot use -x with -e, -t, -T or -C!\n"},
      {{"-x", "5", "-e", "D", "-f", "x"}, "Cannot use -x with -e, -t, -T or -C!\n"},
      {{"-x", "5", "-T", "t", "-f", "x"}, "Cannot use -x with -e, -t, -T or -C!\n"},
      {{"-x", "5", "-t", "h.test", "-f", "x"}, "Cannot use -x with -e, -t, -T or -C!\n"},
      {{"-x", "5", "-u", "http://h.test/"}, "-f file must be specified with -x option!\n"},
      // -n is checked first.
      {{"-n", "-x", "5"}, "-f file must be specified with -n option!\n"},
      {{"-u", "http://h.test/"}, "\nUse -i to provide the lists to load!\n\n"},
  };
  for (const auto& c : cases) {
    auto r = run(c.args);
    EXPECT_EQ(r.err, c.message) << c.args[0];
    EXPECT_EQ(r.out, usage_text) << c.args[0];
    EXPECT_EQ(r.status, 1) << c.args[0];
  }
}

TEST_F(CvlistcheckTest, ResultLinesForEveryKindOfResult) {
  auto r = check({"-u", "http://w.h.test/a", "-u", "http://deny.test/", "-u", "http://allow.test/",
                  "-u", "http://h.test/none/x", "-u", "http://q.test/p?utm=1&a=2", "-u",
                  "http://h.test/hdr", "-u", "http://nothing.test/"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://w.h.test/a Category: 23,24\n"
                       "http://deny.test/ Denied\n"
                       "http://allow.test/ Allowed\n"
                       "http://h.test/none/x Continue\n"
                       "http://q.test/p?utm=1&a=2 Rewrite: http://q.test/p?a=2\n"
                       "http://h.test/hdr Continue\n"
                       "http://nothing.test/ NOT FOUND\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);  // NOT FOUND fails

  // -d appends the matching entry; a list-number entry is an unknown result and fails.
  r = check({"-d", "-u", "http://v.w.h.test/", "-u", "http://deny.test/x", "-u",
             "http://q.test/p?utm=1", "-u", "http://h.test/none", "-u", "http://h.test/list/a"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://v.w.h.test/ Category: 23,24 w.h.test\n"
                       "http://deny.test/x Denied deny.test\n"
                       "http://q.test/p?utm=1 Rewrite: http://q.test/p? q.test\n"
                       "http://h.test/none Continue h.test/none\n"
                       "http://h.test/list/a UNKNOWN RESULT\n");
  EXPECT_EQ(r.status, 1);

  r = check({"-u", "http://h.test/"});
  EXPECT_EQ(r.out, std::string(loaded) + "http://h.test/ Category: 1\n");
  EXPECT_EQ(r.status, 0);
  // Without URLs the run ends after loading.
  r = check({});
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, ExpectedResultOfTheCommandLine) {
  auto r = check({"-e", "D", "-u", "http://deny.test/"});
  EXPECT_EQ(r.out, std::string(loaded) + "http://deny.test/ Denied\n");
  EXPECT_EQ(r.status, 0);
  r = check({"-e", "D", "-u", "http://allow.test/"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://allow.test/ Allowed\n"
                       "The entry http://allow.test/ was Allowed and did not match the expected "
                       "result of D\n");
  EXPECT_EQ(r.status, 1);
  r = check({"-e", "A", "-u", "http://deny.test/"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://deny.test/ Denied\n"
                       "The entry http://deny.test/ was Denied and did not match the expected "
                       "result of A\n");
  EXPECT_EQ(r.status, 1);

  // Sets compare as sets: order and spaces do not matter, the text must hold the same numbers.
  for (const char* same : {"24,23", "23,24", "23, 24", ",24,,23"}) {
    r = check({"-e", same, "-u", "http://w.h.test/"});
    EXPECT_EQ(r.out, std::string(loaded) + "http://w.h.test/ Category: 23,24\n") << same;
    EXPECT_EQ(r.status, 0) << same;
  }
  for (const char* other : {"23", "23;24", "A", "23,24,25"}) {
    r = check({"-e", other, "-u", "http://w.h.test/"});
    EXPECT_EQ(r.out, std::string(loaded) +
                         "http://w.h.test/ Category: 23,24\n"
                         "The entry http://w.h.test/ was assigned the Categories: 23,24 and did "
                         "not match the expected result of " +
                         other + "\n")
        << other;
    EXPECT_EQ(r.status, 1) << other;
  }

  // Rewrites pass for R, T, Q and S; Continue for C.
  for (const char* e : {"R", "T", "Q", "S"}) {
    r = check({"-e", e, "-u", "http://q.test/?utm=1"});
    EXPECT_EQ(r.status, 0) << e;
  }
  r = check({"-e", "D", "-u", "http://q.test/?utm=1"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://q.test/?utm=1 Rewrite: http://q.test/?\n"
                       "The entry http://q.test/?utm=1 was Rewritten and did not match the "
                       "expected result of D\n");
  EXPECT_EQ(r.status, 1);
  r = check({"-e", "C", "-u", "http://h.test/none"});
  EXPECT_EQ(r.status, 0);
  r = check({"-e", "D", "-u", "http://h.test/none"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://h.test/none Continue\n"
                       "The entry http://h.test/none was assigned the Continue action and did not "
                       "match the expected result of D\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, CheckFileCarriesItsExpectedResults) {
  dir_.write("urls",
             "http://w.h.test/ 23,24\n"
             "http://h.test/x U C 1\n"
             "http://deny.test/ U D\n"
             "http://deny.test/a 1234567890 C\n"
             "http://h.test/only\n"
             "\n"
             "   \t\n"
             "  http://allow.test/\tU A\n"
             "http://w.h.test/b U C 23\n"
             "http://h.test/c\r\n"
             "http://h.test/d 1\r\n"
             "http://allow.test/ U R pattern template\n");
  auto r = check({"-C", "-f", "urls"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://w.h.test/ Category: 23,24\n"
                       "http://h.test/x Category: 1\n"
                       "http://deny.test/ Denied\n"
                       "http://deny.test/a Denied\n"
                       "The entry http://deny.test/a was Denied and did not match the expected "
                       "result of C\n"
                       "http://h.test/only Category: 1\n"
                       "http://allow.test/ Allowed\n"
                       "http://w.h.test/b Category: 23,24\n"
                       "The entry http://w.h.test/b was assigned the Categories: 23,24 and did not "
                       "match the expected result of 23\n"
                       "http://h.test/c Category: 1\n"
                       "http://h.test/d Category: 1\n"
                       "http://allow.test/ Allowed\n"
                       "The entry http://allow.test/ was Allowed and did not match the expected "
                       "result of R\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);

  // Without -C the lines are only printed.
  r = check({"-f", "urls"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("did not match"), std::string::npos);
  // -e switches comparing on but applies to the -u URLs only.
  dir_.write("urls2", "http://h.test/only\nhttp://h.test/ 1\n");
  r = check({"-e", "D", "-u", "http://deny.test/", "-f", "urls2"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://deny.test/ Denied\n"
                       "http://h.test/only Category: 1\n"
                       "http://h.test/ Category: 1\n");
  EXPECT_EQ(r.status, 0);

  // Standard input.
  r = check({"-C", "-f", "-"}, "http://deny.test/ U D\nhttp://h.test/ 2\n");
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://deny.test/ Denied\n"
                       "http://h.test/ Category: 1\n"
                       "The entry http://h.test/ was assigned the Categories: 1 and did not match "
                       "the expected result of 2\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, LongTokensAreReadWhole) {
  // Longer than the historical buffers (32767 bytes for a URL, 8191 for the rest of a line).
  std::string path(40000, 'a');
  std::string url = "http://h.test/" + path;
  // The fourth field keeps the rest of the line: "1" is read from "1 xxx...".
  dir_.write("urls", url + " U C 1 " + std::string(9000, 'x') + "\n" + url + " " +
                         std::string(9000, 'x') + " 2\n");
  auto r = check({"-C", "-f", "urls"});
  EXPECT_EQ(r.out, std::string(loaded) + url + " Category: 1\n" + url + " Category: 1\n" +
                       "The entry " + url +
                       " was assigned the Categories: 1 and did not match the expected result of "
                       "2\n");
  EXPECT_EQ(r.status, 1);

  dir_.write("trace", "h.test/" + path + "\n");
  dir_.write("long.list", "h.test/" + path + " U C 7\n");
  r = run({"-i", "long.list", "-d", "-T", "trace", "-f", "urls"});
  EXPECT_EQ(r.out, std::string(loaded) + url + " Category: 7 h.test/" + path + "\n" + url +
                       " Category: 7 h.test/" + path + "\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, CategoriesTextIsNeverCut) {
  std::string cats, text;
  for (int i = 100; i < 140; ++i) {
    cats += (i == 100 ? "" : ",") + std::to_string(i);
  }
  ASSERT_GT(cats.size(), 99u);
  dir_.write("many.list", "many.test U C " + cats + "\n");
  auto r = run({"-i", "many.list", "-e", cats, "-u", "http://many.test/"});
  EXPECT_EQ(r.out, std::string(loaded) + "http://many.test/ Category: " + cats + "\n");
  EXPECT_EQ(r.status, 0);
  // A cut text would pass an expectation that leaves out the last numbers.
  std::string shorter = cats.substr(0, cats.rfind(','));
  r = run({"-i", "many.list", "-e", shorter, "-u", "http://many.test/"});
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, UnexpectedCategoriesMode) {
  dir_.write("x.list", "a.test U C 7,9\nb.test U C 9\nd.test U D\n");
  dir_.write("urls", "http://a.test/\nhttp://b.test/ 7\nhttp://c.test/\nhttp://d.test/\n");
  auto r = run({"-i", "x.list", "-x", "5,7", "-f", "urls"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "Found -i entries matching -f entries assigned with (any of) the -x "
                       "specified unexpected categor(y/ies): 5,7\n"
                       "http://a.test/ 7,9\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);

  // Nothing unexpected: b passes, c is not found (a failure, but silent), d is a verdict.
  dir_.write("urls2", "http://b.test/\nhttp://d.test/\n");
  r = run({"-i", "x.list", "-x", "5,7", "-f", "urls2"});
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 0);
  dir_.write("urls3", "http://c.test/\n");
  r = run({"-i", "x.list", "-x", "5,7", "-f", "urls3"});
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 1);

  // The header comes once; -u URLs are classified the same way; -d adds the entry; the
  // unexpected text equal to the categories text matches as well.
  r = run({"-i", "x.list", "-d", "-x", "9,7", "-u", "http://b.test/", "-f", "urls"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "Found -i entries matching -f entries assigned with (any of) the -x "
                       "specified unexpected categor(y/ies): 9,7\n"
                       "http://b.test/ 9 b.test\n"
                       "http://a.test/ 7,9 a.test\n"
                       "http://b.test/ 9 b.test\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, InexactCategoriesMode) {
  dir_.write("n.list", "a.test U C 4\nb.test U C 8\nd.test U D\n");
  dir_.write("urls", "http://a.test/ 3,4\nhttp://a.test/x U C 4\nhttp://d.test/ U D\n");
  auto r = run({"-i", "n.list", "-n", "-f", "urls"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "Found -f entries matching -i entries assigned with (any of) latter's "
                       "categor(y/ies).\n"
                       "http://a.test/ 3,4\n"
                       "http://a.test/x 4\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // No shared category, no categories on the line, not found: failures, printed nothing.
  for (const char* line : {"http://b.test/ 3,4\n", "http://b.test/\n", "http://zz.test/ 8\n"}) {
    dir_.write("urls2", line);
    r = run({"-i", "n.list", "-n", "-f", "urls2"});
    EXPECT_EQ(r.out, loaded) << line;
    EXPECT_EQ(r.status, 1) << line;
    // Quiet mode does not change the verdict.
    r = run({"-i", "n.list", "-q", "-n", "-f", "urls2"});
    EXPECT_EQ(r.out, loaded) << line;
    EXPECT_EQ(r.status, 1) << line;
  }
  r = run({"-i", "n.list", "-d", "-n", "-f", "-"}, "http://b.test/ 8\n");
  EXPECT_EQ(r.out, std::string(loaded) +
                       "Found -f entries matching -i entries assigned with (any of) latter's "
                       "categor(y/ies).\n"
                       "http://b.test/ 8 b.test\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, QuietModePrintsNoResultLinesButKeepsTheVerdict) {
  auto r = check({"-q", "-u", "http://h.test/", "-u", "http://nothing.test/"});
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 1);
  r = check({"-q", "-e", "A", "-u", "http://deny.test/"});
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 1);
  // A list-number entry fails with or without -q.
  r = check({"-q", "-u", "http://h.test/list"});
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 1);
  r = check({"-q", "-u", "http://h.test/"});
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, LimitsOfRepeatedOptions) {
  std::vector<std::string> args;
  std::string expected = loaded;
  for (int i = 0; i < 101; ++i) {
    args.push_back("-u");
    args.push_back("http://h.test/" + std::to_string(i));
    if (i < 100) expected += "http://h.test/" + std::to_string(i) + " Category: 1\n";
  }
  auto r = check(args);
  EXPECT_EQ(r.err,
            "Too many comand line urls. Use file to store large number of urls.  Url "
            "http://h.test/100 ignored.\n");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 0);

  args.clear();
  for (int i = 0; i < 101; ++i) args.insert(args.end(), {"-i", "base.list"});
  args.insert(args.end(), {"-i", "other.list"});
  r = run(args);
  EXPECT_EQ(r.err,
            "Too many input list files. File base.list ignored.\n"
            "Too many input list files. File other.list ignored.\n");
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 0);

  args.clear();
  for (int i = 0; i < 101; ++i) args.insert(args.end(), {"-t", "t" + std::to_string(i)});
  r = check(args);
  EXPECT_EQ(r.err,
            "Too many cmd line expected url trace results. Use file to store large number of "
            "urls. Trace result t100 ignored.\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, TracesFromTheCommandLineAndFromAFile) {
  // The first -t belongs to the first -u only; case does not matter.
  auto r = check({"-d", "-t", "W.H.TEST", "-u", "http://v.w.h.test/", "-u", "http://h.test/a"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://v.w.h.test/ Category: 23,24 w.h.test\n"
                       "http://h.test/a Category: 1 h.test\n");
  EXPECT_EQ(r.status, 0);
  // A trace alone looks the entry up without printing it.
  r = check({"-t", "h.test", "-u", "http://v.w.h.test/", "-u", "http://h.test/a"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://v.w.h.test/ Category: 23,24\n"
                       "The expected entry h.test did not match with the looked up entry "
                       "w.h.test\n"
                       "http://h.test/a Category: 1\n");
  EXPECT_EQ(r.status, 1);

  // One trace line per -f line: its first token; a missing line means no trace.
  dir_.write("urls", "http://w.h.test/ 23,24\nhttp://deny.test/\nhttp://h.test/\n");
  dir_.write("trace", "w.h.test rest ignored\nallow.test\n");
  r = check({"-T", "trace", "-f", "urls"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://w.h.test/ Category: 23,24\n"
                       "http://deny.test/ Denied\n"
                       "The expected entry allow.test did not match with the looked up entry "
                       "deny.test\n"
                       "http://h.test/ Category: 1\n");
  EXPECT_EQ(r.status, 1);
  // A traced URL that is not found fails without trace message.
  dir_.write("trace", "nothing.test\n");
  r = check({"-T", "trace", "-f", "-"}, "http://nothing.test/\n");
  EXPECT_EQ(r.out, std::string(loaded) + "http://nothing.test/ NOT FOUND\n");
  EXPECT_EQ(r.status, 1);

  r = check({"-T", "missing", "-f", "urls"});
  EXPECT_EQ(r.err, "Error unable to open trace file: No such file or directory\n");
  EXPECT_EQ(r.out, loaded);
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, LoadingFailuresStopBeforeTheNextFile) {
  dir_.write("third.list", "t.test U C 3\n");
  auto r = run({"-s", "l", "-i", "base.list", "-i", "missing.list", "-i", "third.list", "-u",
                "http://h.test/"});
  // The documented line, then the reason on a line of its own.
  EXPECT_EQ(r.err, "Error loading file missing.list\nmissing.list: No such file or directory\n");
  EXPECT_TRUE(
      std::regex_match(r.out, std::regex("Loading Lists\n"
                                         "LSTATS Loaded list 'base\\.list' in \\d+\\.\\d{6}s\n"
                                         "LSTATS Loaded list 'missing\\.list' in "
                                         "\\d+\\.\\d{6}s\n")))
      << r.out;
  EXPECT_EQ(r.status, 1);

  // A directory opens but cannot be read: the reader says after how many lines, the
  // reason follows.
  std::filesystem::create_directory(dir_.path() + "/dir.list");
  r = run({"-i", "dir.list", "-u", "http://h.test/"});
  EXPECT_EQ(r.err,
            "urllist_add_file: read error in 'dir.list' after 0 lines\n"
            "Error loading file dir.list\n"
            "dir.list: Is a directory\n");
  EXPECT_EQ(r.status, 1);

  // Bad lines are reported by the loader and skipped; the run goes on.
  dir_.write("bad.list", "h.test  1\nok.test U C 2\n");
  r = run({"-i", "bad.list", "-u", "http://ok.test/"});
  EXPECT_NE(r.err, "");
  EXPECT_EQ(r.out, std::string(loaded) + "http://ok.test/ Category: 2\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, StatisticsLines) {
  dir_.write("urls", "http://h.test/\nhttp://nothing.test/\n");
  auto r = check({"-q", "-c", "-u", "http://h.test/", "-f", "urls"});
  const std::string t = "\\d+\\.\\d{6}";
  // Per-second lines appear only when a second boundary is crossed: allow any of them.
  const std::string interval = "(USTATS \\d+ \\d+ \\d+ \\d+\n)*";
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("Loading Lists\n"
                        "LSTATS Loaded list 'base\\.list' in " +
                        t +
                        "s\n"
                        "Lists Loaded\n"
                        "LSTATS List load time: " +
                        t +
                        "s\n"
                        "USTATS lookupok lookupfail explodeerr total\n" +
                        interval + "USTATS \\d+ \\d+ \\d+ \\d+\n" + interval +
                        "USTATS \\d+ \\d+ \\d+ \\d+\n"
                        "USTATS ----------------------------------------------------------\n"
                        "USTATS 2 1 0 3\n"
                        "Lookup time for 3 lookups: \n"
                        "max: " +
                        t + " min: " + t + " avg: " + t + "\n")))
      << r.out;
  EXPECT_EQ(r.status, 1);

  // Only the -f stage prints the summary.
  r = check({"-s", "u", "-u", "http://h.test/"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(std::string(loaded) +
                                                 "USTATS lookupok lookupfail explodeerr total\n"
                                                 "http://h.test/ Category: 1\n" +
                                                 interval + "USTATS \\d+ \\d+ \\d+ \\d+\n")))
      << r.out;
  // An empty check file still prints the separator, the totals and zero times.
  dir_.write("empty", "");
  r = check({"-s", "u", "-f", "empty"});
  EXPECT_EQ(r.out, std::string(loaded) +
                       "USTATS lookupok lookupfail explodeerr total\n"
                       "USTATS 0 0 0 0\n"
                       "USTATS ----------------------------------------------------------\n"
                       "USTATS 0 0 0 0\n"
                       "Lookup time for 0 lookups: \n"
                       "max: 0.000000 min: 0.000000 avg: 0.000000\n");
  EXPECT_EQ(r.status, 0);
  // Any other -s letter shows nothing.
  r = check({"-s", "x", "-f", "empty"});
  EXPECT_EQ(r.out, loaded);
}

TEST_F(CvlistcheckTest, ExplosionFailuresAndStopOnFailure) {
  auto r = check({"-u", "", "-u", "http://h.test/"});
  EXPECT_EQ(r.err, "Fail to check . urllist explosion failure.\n");
  EXPECT_EQ(r.out, std::string(loaded) + "http://h.test/ Category: 1\n");
  EXPECT_EQ(r.status, 1);

  // -S: the first failure ends the run.
  r = check(
      {"-S", "-u", "http://h.test/", "-u", "http://nothing.test/", "-u", "http://deny.test/"});
  EXPECT_EQ(r.out,
            std::string(loaded) + "http://h.test/ Category: 1\nhttp://nothing.test/ NOT FOUND\n");
  EXPECT_EQ(r.status, 1);
  r = check({"-S", "-C", "-f", "-"}, "http://h.test/ 1\nhttp://h.test/ 2\nhttp://deny.test/\n");
  EXPECT_EQ(r.out, std::string(loaded) +
                       "http://h.test/ Category: 1\n"
                       "http://h.test/ Category: 1\n"
                       "The entry http://h.test/ was assigned the Categories: 1 and did not match "
                       "the expected result of 2\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, InputAndOutputFiles) {
  auto r = check({"-f", "missing"});
  EXPECT_EQ(r.err, "Error unable to open infile: No such file or directory\n");
  EXPECT_EQ(r.status, 1);
  // A check file that cannot be read is an error, not an empty pass.
  mkdir(path("dir").c_str(), 0755);
  r = check({"-f", "dir"});
  EXPECT_EQ(r.err, "Error reading from the file specified by -f option: Is a directory\n");
  EXPECT_EQ(r.status, 1);

  // -o takes the result lines; statistics stay on standard output.
  r = check({"-o", "out.txt", "-s", "l", "-u", "http://h.test/"});
  EXPECT_EQ(dir_.read("out.txt"), std::string(loaded) + "http://h.test/ Category: 1\n");
  EXPECT_TRUE(std::regex_match(r.out, std::regex("LSTATS Loaded list 'base\\.list' in [0-9.]+s\n"
                                                 "LSTATS List load time: [0-9.]+s\n")))
      << r.out;
  EXPECT_EQ(r.status, 0);
  // The output was written beside its name and moved there: no scratch file is left.
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
  }
  // A device is written in place, never replaced by a regular file.
  r = check({"-o", "/dev/null", "-u", "http://h.test/"});
  EXPECT_EQ(r.status, 0);
  struct stat devnull;
  ASSERT_EQ(stat("/dev/null", &devnull), 0);
  EXPECT_TRUE(S_ISCHR(devnull.st_mode));
  // "-" is standard output.
  r = check({"-o", "-", "-u", "http://h.test/"});
  EXPECT_EQ(r.out, std::string(loaded) + "http://h.test/ Category: 1\n");

  r = check({"-o", "nodir/out.txt", "-u", "http://h.test/"});
  EXPECT_EQ(r.err, "Error unable to open outfile: No such file or directory\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);

  // An output that is one of the inputs is refused before it is truncated.
  dir_.write("urls", "http://h.test/ 1\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-o", "base.list", "-u", "http://h.test/"},
        std::vector<std::string>{"-o", "urls", "-f", "urls"},
        std::vector<std::string>{"-o", "urls", "-f", "./dir/../urls"},
        std::vector<std::string>{"-o", "trace", "-T", "trace", "-f", "urls"}}) {
    dir_.write("trace", "h.test\n");
    r = check(args);
    EXPECT_EQ(r.err, "Error output file " + args[1] + " is the same file as the input " +
                         (args[3] == "./dir/../urls" ? args[3] : args[1]) + ". Nothing written.\n");
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(dir_.read("base.list"), base_list);
  EXPECT_EQ(dir_.read("urls"), "http://h.test/ 1\n");
  EXPECT_EQ(dir_.read("trace"), "h.test\n");

  // A failed write is reported and fails the run.
  r = check({"-o", "/dev/full", "-u", "http://h.test/"});
  EXPECT_EQ(r.err, "Error writing outfile /dev/full: No space left on device\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, InternationalHostNames) {
  dir_.write("idn.list",
             "b\xc3\xbc"
             "cher.test U C 5\n");
  const std::string url =
      "http://b\xc3\xbc"
      "cher.test/";
  auto r = run({"-i", "idn.list", "-K", "UTF-8", "-k", "UTF-8", "-d", "-u", url, "-u",
                "http://xn--bcher-kva.test/"});
  EXPECT_EQ(r.out, std::string(loaded) + url + " Category: 5 xn--bcher-kva.test\n" +
                       "http://xn--bcher-kva.test/ Category: 5 xn--bcher-kva.test\n");
  EXPECT_EQ(r.status, 0);
  // Without -k the URL's host stays as written and is not found.
  r = run({"-i", "idn.list", "-K", "UTF-8", "-u", url});
  EXPECT_EQ(r.out, std::string(loaded) + url + " NOT FOUND\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvlistcheckTest, UnknownOptionsAndOtherArgumentsAreIgnored) {
  auto r = check({"-z", "stray", "-u", "http://h.test/"});
  EXPECT_EQ(r.err, cv_bin("cvlistcheck") + ": invalid option -- 'z'\n");
  EXPECT_EQ(r.out, std::string(loaded) + "http://h.test/ Category: 1\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistcheckTest, DemoListPasses) {
  const std::string examples = std::string(CV_TEST_DATA_DIR) + "/../../examples/";
  auto r = run({"-d", "-C", "-i", examples + "demo.list", "-f", examples + "demo.urls"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("did not match"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("NOT FOUND"), std::string::npos) << r.out;
}

}  // namespace
