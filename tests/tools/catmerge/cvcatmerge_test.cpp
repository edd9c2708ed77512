// End-to-end tests: the built cvcatmerge run as a process on list files in a scratch
// directory, comparing standard output, standard error, the exit status and the files left.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"

namespace {

const char* const usage_text =
    "This program allows you to merge URL categories from multiple list files base on the URL "
    "lookup result against each other\n"
    "usage: cvcatmerge options\n"
    "\t-h\t\tDisplay this help.\n"
    "\t-v\t\tDisplay the version of this tool.\n"
    "\t-V\t\tVerbose Mode to display url lookup results into stderr.\n"
    "\t-S\t\tStop on failure.\n"
    "\t-f filename\tMaster file name to merge categories.\n"
    "\t-i filename\tInput file name to merge categories. This option can be specified multiple "
    "times.\n"
    "\t-o filename\tThe merged result from the master list and other input files. The stdout is "
    "used if this option is omitted.\n"
    "\t-k charset\tThe charset that encodes IDN (Internationalized Domain Name) in the list "
    "files. Giving a charset that encodes the IDNs, such as UTF-8, enables IDNs parsing in the "
    "file.\n";

const char* const missing_text =
    "Please enter master file and input files to merge categories.\n\n";

class CvcatmergeTest : public ::testing::Test {
 protected:
  cv_run_result run(std::vector<std::string> args) {
    args.insert(args.begin(), cv_bin("cvcatmerge"));
    return cv_run(args, "", dir_.path());
  }
  std::string write(const std::string& name, const std::string& content) {
    return dir_.write(name, content);
  }
  std::string read(const std::string& name) const { return dir_.read(name); }
  bool exists(const std::string& name) const {
    struct stat st;
    return lstat((dir_.path() + "/" + name).c_str(), &st) == 0;
  }
  // The names in the scratch directory, sorted, joined by spaces.
  std::string listing() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::string s;
    for (const auto& n : names) s += (s.empty() ? "" : " ") + n;
    return s;
  }

  cv_tempdir dir_;
};

TEST_F(CvcatmergeTest, HelpVersionAndMissingFiles) {
  auto r = run({"-h"});
  EXPECT_EQ(r.out, usage_text);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  r = run({"-v"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex("Corvane List Category Merge 6\\.3\\.3 Build: "
                                                 "[A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                                                 "\\d\\d:\\d\\d:\\d\\d\n")))
      << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-f", "m"}, {"-i", "a", "-i", "b"}, {"-V", "-S", "-o", "out", "-K", "x"}}) {
    r = run(args);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err, missing_text);
    EXPECT_EQ(r.status, 1);
  }
  // An unknown letter draws getopt's complaint and is ignored; -K takes an argument and does
  // nothing; arguments that are not options are ignored.
  write("in", "w.h.test U C 5\n");
  write("m", "h.test U C 7\n");
  r = run({"-x", "-K", "-i", "-i", "in", "stray", "-f", "m"});
  EXPECT_EQ(r.out, "h.test U C 7\nw.h.test U C 5,7\n");
  EXPECT_TRUE(std::regex_match(r.err, std::regex(".*cvcatmerge: invalid option -- 'x'\n")))
      << r.err;
  EXPECT_EQ(r.status, 0);
}

// One input merged with the master: each case gives the two files and the whole output.
TEST_F(CvcatmergeTest, OneInputWithTheMaster) {
  struct {
    const char* what;
    const char* input;
    const char* master;
    const char* expected;
  } cases[] = {
      {"a parent domain lends its categories; the master's lines come first", "www.h.test U C 5\n",
       "h.test U C 7\n", "h.test U C 7\nwww.h.test U C 5,7\n"},
      {"a parent path lends its categories", "h.test/a/b U C 3\n", "h.test/a U C 9\n",
       "h.test/a U C 9\nh.test/a/b U C 3,9\n"},
      {"a query entry matches the parameters in any order", "http://q.test/s?b=2&a=1 U C 4\n",
       "http://q.test/s?a=1&b=2 U C 8\n",
       "http://q.test/s?a=1&b=2 U C 4,8\nhttp://q.test/s?b=2&a=1 U C 4,8\n"},
      {"an address inside a range entry", "10.0.0.7 U C 3\n", "10.0.0.0-10.0.0.255 U C 2\n",
       "10.0.0.0-10.0.0.255 U C 2\n10.0.0.7 U C 2,3\n"},
      {"a keyword entry lends to a host that contains it", "www.casino.test U C 1\n",
       "casino K C 60\n", "casino K C 60\nwww.casino.test U C 1,60\n"},
      {"an entry in both files is written twice with the union", "same.test U C 1,9\n",
       "same.test U C 2,9\n", "same.test U C 1,2,9\nsame.test U C 1,2,9\n"},
      {"a broader entry of the input does not reach the master's narrower one, the other way "
       "round it does",
       "h.test U C 4\n", "x.h.test U C 6\n", "x.h.test U C 4,6\nh.test U C 4\n"},
      {"nothing found: lines written as they are", "a.test U C 1\n", "b.test U C 2\n",
       "b.test U C 2\na.test U C 1\n"},
      {"45 beside others is dropped, alone it stays, 45,45 is one category and stays",
       "x.test U C 3,45\ny.test U C 45\nz.test U C 45,45\n", "other.test U C 1\n",
       "other.test U C 1\nx.test U C 3\ny.test U C 45\nz.test U C 45,45\n"},
      {"45 dropped from a union", "w.h.test U C 45\n", "h.test U C 7\n",
       "h.test U C 7\nw.h.test U C 7\n"},
      {"the input's deny line is left out when the master has a category entry for exactly it",
       "deny.test U D\n", "deny.test U C 3\n", "deny.test U C 3\n"},
      {"the master's deny line wins over the input's category line for exactly it",
       "deny.test U C 3\n", "deny.test U D\n", "deny.test U D\n"},
      {"a deny line covered through a parent stays", "w.h.test U D\n", "h.test U C 7\n",
       "h.test U C 7\nw.h.test U D\n"},
      {"a master line without categories found through a parent stays", "h.test U C 7\n",
       "w.h.test U A\n", "w.h.test U A\nh.test U C 7\n"},
      {"entries of other kinds and actions pass through",
       "foo K C 9\n/ads[0-9]+/ R C 4\n.exe E C 8\nq.test U Q -utm_source\n"
       "s.test U S bad good words\nh.test/x U H X-A: 1\npolicy T D\nl.test U L 5\n",
       "n.test U C 1\n",
       "n.test U C 1\nfoo K C 9\n/ads[0-9]+/ R C 4\n.exe E C 8\nq.test U Q -utm_source\n"
       "s.test U S bad good words\nh.test/x U H X-A: 1\npolicy T D\nl.test U L 5\n"},
      {"line forms: guessed URL entry, entry with a number, lower-case action word",
       "http://two.h.test/ 5\nhttp://three.h.test/ 1234 6\nfour.h.test U c 8\n", "h.test U C 7\n",
       "h.test U C 7\nhttp://two.h.test/ 5,7\nhttp://three.h.test/ 1234 6,7\n"
       "four.h.test U c 7,8\n"},
      {"a master default entry answers every other lookup", "a.test U C 1\n", "* N C 2\n",
       "* N C 2\na.test U C 1,2\n"},
      {"comments, blank lines and white space are no entries; CRLF is read; a last line "
       "without newline is merged; lines without fields are not written",
       "# comment\n\n\t\nw.h.test U C 5\r\nonly.test\ntab.test\t5\nlast.h.test U C 6",
       "# master comment\nh.test U C 7\n", "h.test U C 7\nw.h.test U C 5,7\nlast.h.test U C 6,7\n"},
      {"a URL that does not explode is left out, a keyword that does not is kept",
       "http://:80/ U C 5\nhttp://:80/x K C 7\nok.test U C 1\n", "n.test U C 2\n",
       "n.test U C 2\nhttp://:80/x K C 7\nok.test U C 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write("in", c.input);
    write("master", c.master);
    auto r = run({"-i", "in", "-f", "master"});
    EXPECT_EQ(r.out, c.expected);
    EXPECT_EQ(r.status, 0);
    // Without -V only the loader's reports of lines it cannot store reach standard error.
    if (std::string(c.what).find("explode") == std::string::npos) {
      EXPECT_EQ(r.err, "");
      // Nothing here fails a pass: -S changes nothing (comment lines included).
      r = run({"-S", "-i", "in", "-f", "master"});
      EXPECT_EQ(r.out, c.expected);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.status, 0);
    }
  }
}

TEST_F(CvcatmergeTest, InternationalNamesWithACharset) {
  write("in",
        "b\xc3\xbc"
        "cher.test U C 5\n");
  write("master", "xn--bcher-kva.test U C 7\n");
  auto r = run({"-i", "in", "-f", "master"});
  EXPECT_EQ(r.out,
            "xn--bcher-kva.test U C 7\nb\xc3\xbc"
            "cher.test U C 5\n");
  r = run({"-k", "UTF-8", "-i", "in", "-f", "master"});
  EXPECT_EQ(r.out,
            "xn--bcher-kva.test U C 5,7\nb\xc3\xbc"
            "cher.test U C 5,7\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmergeTest, VerboseMessagesOfOneStep) {
  write("in", "w.h.test U C 5\nd.test U D\nx.d.test U D\nn.test U C 1\n# c\nhttp://:80/ U C 1\n");
  write("master", "h.test U C 7,45\nd.test U C 3\nk.test U A\nd.test/p U A\n");
  auto r = run({"-V", "-i", "in", "-f", "master", "-o", "out"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read("out"),
            "h.test U C 7\nd.test U C 3\nk.test U A\nd.test/p U A\nw.h.test U C 5,7\n"
            "x.d.test U D\nn.test U C 1\n");
  EXPECT_EQ(r.err,
            "Process files: in, master\n"
            "Output file: out\n"
            "urllist_add: failed to add url 'http://:80/'\n"
            "urllist_add_file: failed to add item 'http://:80/' type: 'U' action: 'C 1'\n"
            "Matching URL with cats: h.test U C 7,45\n"
            "Failed to found h.test match any base url\n"
            "Matching URL with cats: d.test U C 3\n"
            "Found d.test match the base URL (no categories assigned): d.test\n"
            "Matching URL with cats: k.test U A\n"
            "Failed to found k.test match any base url\n"
            "Matching URL with cats: d.test/p U A\n"
            "Found d.test/p match the base URL (no categories assigned): d.test\n"
            "Matching URL with cats: w.h.test U C 5\n"
            "Found w.h.test (categories 5) match the base url with cats: h.test 7,45\n"
            "Matching URL with cats: d.test U D\n"
            "Found d.test (No categories assigned) match the base url with cats: d.test 3\n"
            "Matching URL with cats: x.d.test U D\n"
            "Found x.d.test (No categories assigned) match the base url with cats: d.test 3\n"
            "Matching URL with cats: n.test U C 1\n"
            "Failed to found n.test match any base url\n"
            "Matching URL with cats: http://:80/ U C 1\n"
            "Fail to explode http://:80/\n");
}

// Intermediate steps (mode 0): of two lines for exactly one URL the one with categories wins,
// whichever input it is in; the last step then lets the master win.
TEST_F(CvcatmergeTest, TwoInputsIntermediateModeAndScratchFiles) {
  write("in1", "a.test U C 3\nb.test U D\nw.h.test U C 5\n");
  write("in2", "a.test U D\nb.test U C 4\nh.test U C 7\n");
  write("master", "b.test U A\nm.test U C 9\n");
  auto r = run({"-V", "-i", "in1", "-i", "in2", "-f", "master", "-o", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read("out"),
            "b.test U A\nm.test U C 9\n"          // master
            "h.test U C 7\n"                      // step 0: in2's lines
            "a.test U C 3\nw.h.test U C 5,7\n");  // step 0: in1's lines
  std::string err = r.err;
  EXPECT_NE(err.find("Process files: in1, in2\nOutput file: mastercatmerge2\n"), std::string::npos);
  EXPECT_NE(err.find("Process files: mastercatmerge2, master\nOutput file: out\n"),
            std::string::npos);
  EXPECT_EQ(listing(), "in1 in2 master out");
}

TEST_F(CvcatmergeTest, ThreeInputsMergeLeftToRight) {
  write("in1", "a.h.test U C 1\n");
  write("in2", "h.test U C 2\n");
  write("in3", "b.a.h.test U C 3\n");
  write("master", "test U C 4\n");
  auto r = run({"-V", "-i", "in1", "-i", "in2", "-i", "in3", "-f", "master"});
  EXPECT_EQ(r.status, 0);
  // Step 0: in2, in1 enriched by each other; step 1: in3, then that; step 2: master, then all.
  EXPECT_EQ(r.out,
            "test U C 4\n"
            "b.a.h.test U C 1,2,3,4\n"
            "h.test U C 2,4\n"
            "a.h.test U C 1,2,4\n");
  std::regex steps(
      "Process files: in1, in2\nOutput file: mastercatmerge2\n[^]*"
      "Process files: mastercatmerge2, in3\nOutput file: mastercatmerge1\n[^]*"
      "Process files: mastercatmerge1, master\nOutput file: STDOUT\n[^]*");
  EXPECT_TRUE(std::regex_match(r.err, steps)) << r.err;
  EXPECT_EQ(listing(), "in1 in2 in3 master");
}

TEST_F(CvcatmergeTest, AHundredInputsAtMost) {
  std::vector<std::string> args;
  for (int i = 0; i < 101; ++i) {
    std::string name = "in" + std::to_string(i);
    write(name, "h" + std::to_string(i) + ".test U C " + std::to_string(i + 1) + "\n");
    args.insert(args.end(), {"-i", name});
  }
  write("master", "test U C 500\n");
  args.insert(args.end(), {"-f", "master"});
  auto r = run(args);
  EXPECT_EQ(r.err, "Too many input list files. File in100 ignored.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("h99.test U C 100,500\n"), std::string::npos);
  EXPECT_EQ(r.out.find("h100.test"), std::string::npos);
  EXPECT_EQ(listing().find("catmerge"), std::string::npos);
}

TEST_F(CvcatmergeTest, LongLinesAreNotCut) {
  std::string host(40000, 'a');
  host += ".h.test";
  std::string cats;
  for (int i = 1; i <= 3000; ++i) cats += (i > 1 ? "," : "") + std::to_string(i * 2);
  write("in", host + " U C " + cats + "\n");
  write("master", "h.test U C 1\n");
  auto r = run({"-i", "in", "-f", "master"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "h.test U C 1\n" + host + " U C 1," + cats + "\n");
}

// Failures: the message, the status, and what is left on disk.
TEST_F(CvcatmergeTest, FailedStepsAndStatus) {
  write("in1", "a.test U C 1\n");
  write("in3", "c.test U C 3\n");
  write("master", "m.test U C 9\n");
  write("out", "old\n");
  struct {
    const char* what;
    std::vector<std::string> args;
    const char* out;
    const char* err;
    int status;
    const char* file;  // content of "out" afterwards
  } cases[] = {
      {"an input that cannot be opened: the load's -4",
       {"-i", "missing", "-f", "master", "-o", "out"},
       "",
       "",
       252,
       "old\n"},
      {"the master cannot be opened: the merge pass fails",
       {"-i", "in1", "-f", "missing", "-o", "out"},
       "",
       "",
       1,
       "old\n"},
      {"verbose: the load that failed",
       {"-V", "-i", "missing", "-f", "master", "-o", "out"},
       "",
       "Process files: missing, master\nOutput file: out\nError loading file missing\n",
       252,
       "old\n"},
      {"verbose: the pass that failed",
       {"-V", "-i", "in1", "-f", "missing", "-o", "out"},
       "",
       "Process files: in1, missing\nOutput file: out\n"
       "Error: unable to open infileError merging file missing\n",
       1,
       "old\n"},
      {"with -S the failure is named",
       {"-S", "-i", "in1", "-f", "missing", "-o", "out"},
       "",
       "Error: Failed to merge files: in1 and missing\n",
       1,
       "old\n"},
      {"a failed middle step with -S ends the run",
       {"-S", "-i", "in1", "-i", "missing", "-i", "in3", "-f", "master", "-o", "out"},
       "",
       "Error: Failed to merge files: in1 and missing\n",
       1,
       "old\n"},
      {"a failed middle step without -S: the chain goes on, the status tells",
       {"-i", "in1", "-i", "missing", "-i", "in3", "-f", "master", "-o", "out"},
       "",
       "",
       1,
       "m.test U C 9\nc.test U C 3\n"},
      {"a middle step whose load fails gives its status",
       {"-i", "missing", "-i", "in1", "-f", "master", "-o", "out"},
       "",
       "",
       252,
       "m.test U C 9\n"},
      {"a URL that does not explode with -S",
       {"-S", "-i", "bad", "-f", "master", "-o", "out"},
       "",
       "urllist_add: failed to add url 'http://:80/'\n"
       "urllist_add_file: failed to add item 'http://:80/' type: 'U' action: 'C 5'\n"
       "Error: Failed to merge files: bad and master\n",
       1,
       "old\n"},
      {"the output is an input",
       {"-i", "in1", "-f", "master", "-o", "in1"},
       "",
       "Error: output file in1 is the same file as the input in1. Nothing written.\n",
       1,
       "old\n"},
      {"the output is the master",
       {"-i", "in1", "-f", "master", "-o", "./master"},
       "",
       "Error: output file ./master is the same file as the input master. Nothing written.\n",
       1,
       "old\n"},
      {"the output has a scratch file's name",
       {"-i", "in1", "-f", "master", "-o", "./mastercatmerge1"},
       "",
       "Error: ./mastercatmerge1 is the name of a scratch file of this merge (the master file "
       "name followed by catmerge1 or catmerge2). Nothing written.\n",
       1,
       "old\n"},
      {"an input has a scratch file's name",
       {"-i", "in1", "-i", "mastercatmerge2", "-f", "master", "-o", "out"},
       "",
       "Error: mastercatmerge2 is the name of a scratch file of this merge (the master file "
       "name followed by catmerge1 or catmerge2). Nothing written.\n",
       1,
       "old\n"},
      {"the output cannot be opened",
       {"-i", "in1", "-f", "master", "-o", "no/such/dir/out"},
       "",
       "Error: unable to open outfile",
       1,
       "old\n"},
      {"an empty output name",
       {"-i", "in1", "-f", "master", "-o", ""},
       "",
       "Error: unable to open outfile",
       1,
       "old\n"},
      {"the master is a folder: the read error is reported",
       {"-i", "in1", "-f", ".", "-o", "out"},
       "",
       "Error reading .: Is a directory\n",
       1,
       "old\n"},
  };
  write("bad", "http://:80/ U C 5\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write("out", "old\n");
    write("mastercatmerge2", "an input\n");
    auto r = run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(read("out"), c.file);
    EXPECT_EQ(read("in1"), "a.test U C 1\n");
    EXPECT_EQ(read("master"), "m.test U C 9\n");
    std::filesystem::remove(dir_.path() + "/mastercatmerge2");
    EXPECT_EQ(listing(), "bad in1 in3 master out");
  }
}

TEST_F(CvcatmergeTest, FailedWritesAreReported) {
  write("in1", "a.test U C 1\n");
  write("master", "m.test U C 9\n");
  auto r = run({"-i", "in1", "-f", "master", "-o", "/dev/full"});
  EXPECT_EQ(r.err, "Failed to write /dev/full: No space left on device\n");
  EXPECT_EQ(r.status, 1);
  // "-" and any argument that begins with it is standard output.
  r = run({"-i", "in1", "-f", "master", "-o", "-x"});
  EXPECT_EQ(r.out, "m.test U C 9\na.test U C 1\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmergeTest, PlantedScratchNamesAreReplacedNotFollowed) {
  write("in1", "a.test U C 1\n");
  write("in2", "b.test U C 2\n");
  write("in3", "c.test U C 3\n");
  write("master", "m.test U C 9\n");
  write("victim", "keep\n");
  ASSERT_EQ(symlink("victim", (dir_.path() + "/mastercatmerge2").c_str()), 0);
  write("mastercatmerge1", "leftover\n");
  chmod((dir_.path() + "/mastercatmerge1").c_str(), 0444);
  auto r = run({"-i", "in1", "-i", "in2", "-i", "in3", "-f", "master"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "m.test U C 9\nc.test U C 3\nb.test U C 2\na.test U C 1\n");
  EXPECT_EQ(read("victim"), "keep\n");
  EXPECT_EQ(listing(), "in1 in2 in3 master victim");
}

// A run stopped by a signal removes its scratch files and its temporary output. A FIFO among
// the files makes the run block in opening it: as the third input, in the second step, while
// both scratch files exist; as the master, in the only step, while the output's temporary
// file exists.
TEST_F(CvcatmergeTest, SignalsRemoveTheScratchFiles) {
  struct {
    const char* fifo;
    std::vector<std::string> args;
    std::vector<std::string> wait_for;  // "%p" stands for the child's process id
  } cases[] = {
      {"in3",
       {"-i", "in1", "-i", "in2", "-i", "in3", "-f", "master", "-o", "out"},
       {"mastercatmerge1", "mastercatmerge2"}},
      {"master", {"-i", "in1", "-f", "master", "-o", "out"}, {"out.%p.tmp"}},
  };
  for (const auto& c : cases) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
      SCOPED_TRACE(std::string(c.fifo) + " " + std::to_string(sig));
      std::string fifo = dir_.path() + "/" + c.fifo;
      write("in1", "a.test U C 1\n");
      write("in2", "b.test U C 2\n");
      write("in3", "c.test U C 3\n");
      write("master", "m.test U C 9\n");
      std::filesystem::remove(fifo);
      ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
      std::string bin = cv_bin("cvcatmerge");
      std::vector<char*> argv{bin.data()};
      std::vector<std::string> args = c.args;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        if (chdir(dir_.path().c_str()) != 0) _exit(126);
        signal(sig, SIG_DFL);
        execv(bin.c_str(), argv.data());
        _exit(127);
      }
      bool present = false;
      for (int i = 0; i < 1000 && !present; ++i) {
        present = true;
        for (std::string name : c.wait_for) {
          size_t p = name.find("%p");
          if (p != std::string::npos) name.replace(p, 2, std::to_string(pid));
          present = present && exists(name);
        }
        if (!present) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_TRUE(present);
      for (std::string name : c.wait_for) {
        size_t p = name.find("%p");
        if (p != std::string::npos) name.replace(p, 2, std::to_string(pid));
        struct stat st;
        if (lstat((dir_.path() + "/" + name).c_str(), &st) != 0) continue;
        // Scratch files are private; the output's temporary file has the usual mode.
        if (name.find("catmerge") != std::string::npos) {
          EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        }
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
      }
      // Give the run the moment from creating the files to the blocking open.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      kill(pid, sig);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(WTERMSIG(status), sig);
      EXPECT_EQ(listing(), "in1 in2 in3 master");
      std::filesystem::remove(fifo);
    }
  }
}

}  // namespace
