// End-to-end tests: the built cvlistmerge run as a process on list files in a scratch
// directory, comparing the output file, standard output, standard error and the exit status.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "urllist/hashing.h"

namespace {

const char* const usage_text =
    "Usage: cvlistmerge options\n"
    "\t-h\t\tDisplay the Usage and help for using the tool.\n"
    "\t-v\t\tDisplay the version of the tool.\n"
    "\t-i filename\tInput file name to merge. The order of the files is important when "
    "processing identical entries.\n"
    "\t\t\tThe last file will take precedence when entries are identical.\n"
    "\t-o filename\tThe merged result from the files specified with -i will be merged into this "
    "output file.\n"
    "\t\t\tstdout is used if this option is omitted\n"
    "\t-x\t\tEnforce hashing of all input files regardless of their type.\n"
    "\t\t\tClear text or plain files will be hashed while hashed files will remain the same. IP "
    "address will remain in clear text.\n"
    "\t-X\t\tEnforce hashing of all input files regardless of their type.\n"
    "\t\t\tClear text or plain files will be hashed while hashed files will remain the same. IP "
    "address will be hased as well.\n"
    "\t-d\t\tKeep dangerous URLs that has username:password which can cause overblocking.\n"
    "\t-c categoryset\tKeep URLs that have a CATEGORYSET that will INTERESECT with the provided "
    "CATEGORYSET.\n"
    "\t-r categoryset\tRemove URLs that have a CATEGORYSET that will INTERESECT with the provided "
    "CATEGORYSET.\n"
    "\t-k categoryset\tOnly keep the specified categories and remove all other categories. If "
    "you specify 1,2,3, all other categories will be removed from the URLs.\n"
    "\t\t\tURLs that have no categories will not be saved to the output, similar to the -c "
    "categoryset specified.\n"
    "\t-V\t\tDisplay results with verbose output to stderr.\n"
    "\t-f filename\tFilter the entries that match the URLs in the FILENAME.\n"
    "\t\t\tThis will remove the URLs that match using the Corvane URL List Parsing.\n";

// The hash text of a part text, from the engine's hash function.
std::string H(const std::string& text) { return urllist_hash2str(urllist_hash(text)); }

class CvlistmergeTest : public ::testing::Test {
 protected:
  cv_run_result run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), cv_bin("cvlistmerge"));
    return cv_run(args, input, dir_.path());
  }
  // Merges `list` (one input file) with the given options; the result on standard output.
  cv_run_result merge(const std::string& list, std::vector<std::string> args) {
    dir_.write("in.list", list);
    args.push_back("-i");
    args.push_back("in.list");
    return run(args);
  }
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
  bool exists(const std::string& name) const {
    struct stat st;
    return lstat(path(name).c_str(), &st) == 0;
  }
  // Names in the scratch directory other than the given ones (temporary files left behind).
  std::vector<std::string> others(const std::vector<std::string>& known) const {
    std::vector<std::string> left;
    auto r = cv_run({"/bin/ls", "-A", dir_.path()});
    size_t pos = 0;
    while (pos < r.out.size()) {
      size_t end = r.out.find('\n', pos);
      std::string name = r.out.substr(pos, end - pos);
      bool k = false;
      for (const auto& n : known) k = k || n == name;
      if (!k) left.push_back(name);
      pos = end + 1;
    }
    return left;
  }

  cv_tempdir dir_;
};

TEST_F(CvlistmergeTest, HelpVersionAndNoInput) {
  auto r = run({"-h"});
  EXPECT_EQ(r.out, usage_text);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  // -h ends the run where it stands: nothing is read or written.
  r = run({"-i", "missing.list", "-o", "out.list", "-h"});
  EXPECT_EQ(r.out, usage_text);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(exists("out.list"));

  r = run({"-v"});
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("Corvane List Merge 6\\.3\\.3 Build: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                        "\\d\\d:\\d\\d:\\d\\d\n")))
      << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  r = run({"-o", "out.list", "-x", "-V"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "no input files\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(exists("out.list"));

  // An unknown letter gets getopt's complaint and is ignored; so are non-option arguments.
  dir_.write("a.list", "h.test U D\n");
  r = run({"-z", "-i", "a.list", "stray"});
  EXPECT_EQ(r.out, "h.test U D\n");
  EXPECT_TRUE(r.err.ends_with("invalid option -- 'z'\n")) << r.err;
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistmergeTest, InputsAreStreamedInOrderWithCommentsCopied) {
  dir_.write("a.list",
             "# list a\r\n"
             "same.test U C 1\n"
             "\n"
             " lead.test U C 2\n"
             "\ttab.test U C 2\n"
             "crlf.test U C 3\r\n"
             "many.test U C 4\r\r\n"
             "# last comment without newline");
  dir_.write("b.list",
             "same.test U C 1\n"
             "last.test U D");
  // Standard input in the middle; two identical lines both stay, the first file's first.
  auto r = run({"-i", "a.list", "-i", "-", "-i", "b.list"}, "stdin.test U A\n");
  EXPECT_EQ(r.out,
            "# list a\r\n"
            "same.test U C 1\n"
            "crlf.test U C 3\n"
            "many.test U C 4\n"
            "# last comment without newline\n"
            "stdin.test U A\n"
            "same.test U C 1\n"
            "last.test U D\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // Comments pass hashing and category filters untouched.
  r = run({"-x", "-k", "9", "-c", "9", "-r", "1", "-i", "a.list"});
  EXPECT_EQ(r.out, "# list a\r\n# last comment without newline\n");
  EXPECT_EQ(r.status, 0);

  // No limit on the number of inputs.
  std::vector<std::string> args;
  std::string expected;
  for (int i = 0; i < 150; ++i) {
    std::string name = "f" + std::to_string(i);
    dir_.write(name, "h" + std::to_string(i) + ".test U D\n");
    args.insert(args.end(), {"-i", name});
    expected += "h" + std::to_string(i) + ".test U D\n";
  }
  r = run(args);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistmergeTest, OddBytesAndLongLines) {
  // A line longer than the reader's buffer arrives whole; an entry ends at a NUL byte, as the
  // list loader reads it; a lone "\r" line is white space.
  std::string long_url = "http://long.test/" + std::string(600000, 'a');
  std::string list =
      long_url + " U C 1\n" + std::string("nul.test U C 2\0junk\n", 20) + "\r\n" + "x\n";
  auto r = merge(list, {"-V"});
  EXPECT_EQ(r.out, long_url + " U C 1\nnul.test U C 2\n");
  EXPECT_EQ(r.err,
            "opening input file in.list\n"
            "isspace: \r\n\n"
            "list entry malformat: \"x\"\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistmergeTest, NulBytesAcrossReadBlocks) {
  // NUL bytes are looked for per block read: lines far into the file, around block borders
  // and after a NUL line are each cut at their own NUL and nowhere else.
  std::string list, expected;
  for (int i = 0; i < 60000; ++i) {
    std::string line = "h" + std::to_string(i) + ".test U C " + std::to_string(i % 300);
    if (i % 7919 == 0) {
      list += line + std::string("\0tail", 5) + "\n";
    } else {
      list += line + "\n";
    }
    expected += line + "\n";
  }
  list += std::string("last.test U D\0", 14);  // the last line, without newline
  expected += "last.test U D\n";
  auto r = merge(list, {});
  // Compared whole, reporting the first difference (a full diff of 1 MB texts is too big).
  size_t at = std::mismatch(r.out.begin(), r.out.end(), expected.begin(), expected.end()).first -
              r.out.begin();
  EXPECT_TRUE(r.out == expected) << "first difference at byte " << at << ": "
                                 << r.out.substr(at > 20 ? at - 20 : 0, 60);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvlistmergeTest, VerboseNamesEveryLineLeftOut) {
  dir_.write("filter.list",
             "blocked.test U C 40\n"
             "denied.test U D\n");  // not a category entry: a category list skips it
  const std::string list =
      "  space.test U C 1\n"
      "\n"
      "single\n"
      "user:pw@h.test U C 1\n"
      "http://user@h.test/ U C 1\n"
      "www.blocked.test U C 1\n"
      "denied.test U C 5\n"
      "keep.test U C 5,6\n"
      "drop.test U C 6\n"
      "nointer.test U C 5,7\n"
      "removed.test U C 5,8\n"
      "http:///x U C 5\n"
      "...\n";
  auto r = merge(list, {"-V", "-f", "filter.list", "-k", "5,7,8", "-c", "5", "-r", "8"});
  EXPECT_EQ(r.out,
            "denied.test U C 5\n"
            "keep.test U C 5\n"
            "nointer.test U C 5,7\n"
            "http:///x U C 5\n");
  EXPECT_EQ(r.err,
            "opening input file in.list\n"
            "isspace:   space.test U C 1\n\n"
            "isspace: \n\n"
            "list entry malformat: \"single\"\n"
            "Not keep dangerous url with userinfo: user:pw@h.test U C 1\n"
            "Not keep dangerous url with userinfo: http://user@h.test/ U C 1\n"
            "filter url www.blocked.test U C 1\n"
            "not keeping drop.test U C 6 for keep cats\n"
            "not keeping removed.test U C 5,8 for removed cats\n"
            "fail to explode http:///x U C 5\n"
            "list entry malformat: \"...\"\n");
  EXPECT_EQ(r.status, 0);
  // Without -V the same lines go silently.
  r = merge(list, {"-f", "filter.list", "-k", "5,7,8", "-c", "5", "-r", "8"});
  EXPECT_EQ(r.out,
            "denied.test U C 5\n"
            "keep.test U C 5\n"
            "nointer.test U C 5,7\n"
            "http:///x U C 5\n");
  EXPECT_EQ(r.err, "");
  // -c after -k tests the trimmed set.
  r = merge("h.test U C 5,7\n", {"-V", "-k", "5", "-c", "7"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "opening input file in.list\nnot keeping h.test U C 5,7 for filtered cats\n");
  // -d keeps user information; a URL that does not explode is kept and categorised.
  r = merge("user:pw@h.test U C 1\nhttp:///x U C 2\n", {"-d", "-c", "2"});
  EXPECT_EQ(r.out, "http:///x U C 2\n");
  r = merge("user:pw@h.test U C 1\n", {"-d"});
  EXPECT_EQ(r.out, "user:pw@h.test U C 1\n");
}

TEST_F(CvlistmergeTest, CategoryFilters) {
  struct {
    std::vector<std::string> args;
    const char* line;
    const char* expected;
  } cases[] = {
      {{"-k", "7,9"}, "h.test U C 5,7", "h.test U C 7\n"},
      {{"-k", "9"}, "h.test U C 5,7", ""},
      {{"-c", "9"}, "h.test U C 5,7", ""},
      {{"-r", "5"}, "h.test U C 5,7", ""},
      {{"-c", "7"}, "h.test U C 5,7", "h.test U C 5,7\n"},
      {{"-r", "9"}, "h.test U C 5,7", "h.test U C 5,7\n"},
      // Every shape of category line is rewritten with the fields it had.
      {{"-k", "7,3,5"}, "h.test 9,7,3", "h.test 3,7\n"},
      {{"-k", "7"}, "h.test 1234 5,7", "h.test 1234 7\n"},
      {{"-k", "5,7"}, "h.test Uc C 7,5,1 more", "h.test Uc C 5,7\n"},
      {{"-k", "7"}, "h.test U Cx 7", "h.test U Cx 7\n"},
      // The loader reads the action letter in either case.
      {{"-k", "7"}, "h.test U c 5,7", "h.test U c 7\n"},
      {{"-r", "5"}, "h.test U c 5,7", ""},
      // Other actions pass untouched.
      {{"-k", "7", "-c", "7", "-r", "1"}, "h.test U D", "h.test U D\n"},
      {{"-k", "7", "-c", "7"}, "h.test U Q -utm", "h.test U Q -utm\n"},
      // A category entry without numbers has the empty set.
      {{"-c", "7"}, "h.test U C", ""},
      {{"-r", "7"}, "h.test U C", "h.test U C\n"},
      // Numbers as the option parser reads them: a repeated option replaces the earlier set.
      {{"-c", "1", "-c", "7"}, "h.test U C 7", "h.test U C 7\n"},
      {{"-c", "7", "-c", "1"}, "h.test U C 7", ""},
      {{"-c", "7,x,1"}, "h.test U C 1", ""},
      {{"-c", " 7"}, "h.test U C 7", "h.test U C 7\n"},
      {{"-c", ""}, "h.test U C 7", ""},
      {{"-k", "4294967295"}, "h.test U C 4294967295,3", "h.test U C 4294967295\n"},
  };
  for (const auto& c : cases) {
    auto r = merge(std::string(c.line) + "\n", c.args);
    EXPECT_EQ(r.out, c.expected) << c.line << " " << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.err, "") << c.line;
    EXPECT_EQ(r.status, 0) << c.line;
  }
}

TEST_F(CvlistmergeTest, FilterList) {
  dir_.write("filter.list",
             "bad.test U C 1\n"
             "http://h.test/path 2\n"
             "h.test/q?a=1 U C 3\n");
  const std::string list =
      "bad.test U C 9\n"
      "www.bad.test U D\n"
      "http://h.test/path/deeper U A\n"
      "http://h.test/other U A\n"
      "h.test/q?b=2&a=1 U C 4\n"
      "h.test/q?b=2 U C 4\n"
      "good.test U C 9\n";
  auto r = merge(list, {"-f", "filter.list"});
  EXPECT_EQ(r.out,
            "http://h.test/other U A\n"
            "h.test/q?b=2 U C 4\n"
            "good.test U C 9\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // A missing filter file, and one that cannot be read to its end (a directory).
  r = merge(list, {"-f", "missing.list", "-o", "out.list"});
  EXPECT_EQ(r.err, "Fail to open missing.list: No such file or directory\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists("out.list"));
  mkdir(path("dir").c_str(), 0755);
  r = merge(list, {"-f", "dir", "-o", "out.list"});
  EXPECT_TRUE(r.err.ends_with("Error loading file dir\n")) << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists("out.list"));
}

TEST_F(CvlistmergeTest, HashedOutput) {
  const std::string http = H("http"), https = H("https"), www = H("www"), h = H("h"),
                    test = H("test"), host = h + "." + test;
  struct {
    std::vector<std::string> args;
    std::string line;
    std::string expected;
  } cases[] = {
      // A plain URL line with categories.
      {{"-x"}, "www.h.test U C 5,7", www + "." + host + " Uh C 5,7"},
      {{"-x"},
       "http://www.h.test/a/B?x=1&y= 4",
       http + "://" + www + "." + host + "/" + H("a") + "/" + H("B") + "?" + H("x=1") + "&" +
           H("y") + " Uh C 4"},
      // The second field of a numbered line is not written.
      {{"-x"}, "http://h.test/ 123 4", http + "://" + host + " Uh C 4"},
      {{"-x"}, "h.test U D", host + " Uh D"},
      {{"-x"}, "h.test U Q -utm +a=1", host + " Uh Q -utm +a=1"},
      // Already hashed, keywords, extensions, regular expressions and other type words stay.
      {{"-x"}, host + " Uh C 1", host + " Uh C 1"},
      {{"-x"}, "keyword 5", "keyword 5"},
      {{"-x"}, ".exe 5", ".exe 5"},
      {{"-x"}, "/http://re.*/ 5", "/http://re.*/ 5"},
      {{"-x"}, "h.test K C 5", "h.test K C 5"},
      {{"-x"}, "h.test E D", "h.test E D"},
      // IP hosts: in clear with -x (IPv6 in brackets), hashed with -X; ranges stay in clear.
      {{"-x"}, "http://10.1.2.3/p U C 1", http + "://10.1.2.3/" + H("p") + " Uh C 1"},
      {{"-x"}, "http://[2001:DB8::1]:8080/ U D", http + "://[2001:db8::1]:8080 Uh D"},
      {{"-X"}, "http://10.1.2.3/p U C 1", http + "://" + H("10.1.2.3") + "/" + H("p") + " Uh C 1"},
      {{"-X"}, "10.0.0.0-10.0.0.255 U C 1", "10.0.0.0-10.0.0.255 Uh C 1"},
      {{"-X", "-x"}, "10.1.2.3 U C 1", "10.1.2.3 Uh C 1"},
      {{"-x", "-X"}, "10.1.2.3 U C 1", H("10.1.2.3") + " Uh C 1"},
      // A port explode supplies by default is left out; a given port is written in clear.
      {{"-x"}, "http://h.test:80/x U D", http + "://" + host + ":80/" + H("x") + " Uh D"},
      {{"-x"}, "https://h.test/x U D", https + "://" + host + "/" + H("x") + " Uh D"},
      {{"-x"}, "h.test/x U D", host + "/" + H("x") + " Uh D"},
      {{"-x"}, "h.test:8080/x U D", host + ":8080/" + H("x") + " Uh D"},
      {{"-x"}, "ftp://h.test/x U D", H("ftp") + "://" + host + "/" + H("x") + " Uh D"},
      // A given empty port stays (loading would supply 80); a port that would restart the
      // host when read back is written as the bounds it stands for.
      {{"-x"}, "http://h.test:/x U D", http + "://" + host + ":/" + H("x") + " Uh D"},
      {{"-x"}, "h.test:0123456789abcdef/x U D", host + ":0123456789abcdef/" + H("x") + " Uh D"},
      {{"-x"}, "h:81[x]/y U D", H("x") + ":81/" + H("y") + " Uh D"},
      // A host in the form of a range that is none is hashed like a name.
      {{"-x"}, "h:81[-9]/x U D", H("-9") + ":81-9/" + H("x") + " Uh D"},
      {{"-x"},
       "1.2.3.4-1.2.3.999 U D",
       H("1") + "." + H("2") + "." + H("3") + "." + H("4-1") + "." + H("2") + "." + H("3") + "." +
           H("999") + " Uh D"},
      // The case-insensitive type word hashes the lowercased text.
      {{"-x"},
       "HTTP://H.Test/Path/X Uc C 2",
       http + "://" + host + "/" + H("path") + "/" + H("x") + " Uch C 2"},
      // Scheme, path and query entries: the scheme as a bare hash text, no host.
      {{"-x"}, "https S D", https + " Sh D"},
      {{"-x"}, "/a/b P C 3", "/" + H("a") + "/" + H("b") + " Ph C 3"},
      {{"-x"}, "?q=1&r Q D", "?" + H("q=1") + "&" + H("r") + " Qh D"},
      // Such entries with a host keep it.
      {{"-x"}, "http://h.test/a S D", http + "://" + host + "/" + H("a") + " Sh D"},
      {{"-x"}, "h.test:81/a P D", host + ":81/" + H("a") + " Ph D"},
      // A query without parameters is stored at the path node: it writes nothing.
      {{"-x"}, "http://h.test/p?# U C 8", http + "://" + host + "/" + H("p") + " Uh C 8"},
      // -k: the hashed line carries the trimmed categories, and so does a line written as read.
      {{"-x", "-k", "7"}, "www.h.test U C 5,7", www + "." + host + " Uh C 7"},
      {{"-x", "-k", "7"}, "keyword 5,7", "keyword 7"},
      {{"-x", "-k", "7"}, "h.test K C 7,8", "h.test K C 7"},
      {{"-x", "-k", "7"}, host + " Uh C 7,8", host + " Uh C 7"},
  };
  for (const auto& c : cases) {
    auto r = merge(c.line + "\n", c.args);
    EXPECT_EQ(r.out, c.expected + "\n") << c.line;
    EXPECT_EQ(r.err, "") << c.line;
    EXPECT_EQ(r.status, 0) << c.line;
  }
  // A URL that does not explode for hashing is left out.
  auto r = merge("http:///x U C 1\nh.test U D\n", {"-x", "-V"});
  EXPECT_EQ(r.out, host + " Uh D\n");
  EXPECT_EQ(r.err,
            "opening input file in.list\n"
            "fail to explode http:///x U C 1\n"
            "fail to explode http:///x for hash output\n");
  // Entries whose hashed text would load as another entry are left out.
  r = merge("/ttp://h/x S C 1\n*:///a P D\nhttps S D\n", {"-x", "-V"});
  EXPECT_EQ(r.out, https + " Sh D\n");
  EXPECT_EQ(r.err,
            "opening input file in.list\n"
            "fail to hash /ttp://h/x for hash output\n"
            "fail to hash *:///a for hash output\n");
  r = merge("http:///x U C 1\n", {"-X"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(CvlistmergeTest, OutputFile) {
  dir_.write("a.list", "a.test U D\n");
  dir_.write("b.list", "b.test U D\n");
  auto r = run({"-i", "a.list", "-i", "b.list", "-o", "out.list"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\nb.test U D\n");
  EXPECT_EQ(others({"a.list", "b.list", "out.list"}), std::vector<std::string>{});
  // The last -o wins; "-" is standard output and makes no temporary file.
  r = run({"-o", "out.list", "-o", "-", "-i", "a.list"});
  EXPECT_EQ(r.out, "a.test U D\n");
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\nb.test U D\n");
  EXPECT_EQ(others({"a.list", "b.list", "out.list"}), std::vector<std::string>{});

  // An input that cannot be opened: nothing published, the old output untouched.
  r = run({"-i", "a.list", "-i", "missing.list", "-o", "out.list"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "fail to open missing.list: No such file or directory\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\nb.test U D\n");
  EXPECT_EQ(others({"a.list", "b.list", "out.list"}), std::vector<std::string>{});
  // An input that cannot be read to its end (a directory) fails the run the same way.
  mkdir(path("dir").c_str(), 0755);
  r = run({"-i", "a.list", "-i", "dir", "-o", "out.list"});
  EXPECT_EQ(r.err, "fail to read dir: Is a directory\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\nb.test U D\n");
  rmdir(path("dir").c_str());

  // An output that is an input or the filter list is refused before anything is written.
  r = run({"-i", "a.list", "-i", "out.list", "-o", "out.list"});
  EXPECT_EQ(r.err,
            "Error output file out.list is the same file as the input out.list. Nothing "
            "written.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\nb.test U D\n");
  ASSERT_EQ(link(path("a.list").c_str(), path("hard.list").c_str()), 0);
  r = run({"-i", "b.list", "-f", "hard.list", "-o", "a.list"});
  EXPECT_EQ(r.err,
            "Error output file a.list is the same file as the input hard.list. Nothing "
            "written.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("a.list"), "a.test U D\n");
  r = run({"-i", "-", "-o", "a.list"}, "");
  EXPECT_EQ(r.status, 0);  // standard input is a pipe here, not a.list
  EXPECT_EQ(dir_.read("a.list"), "");
  dir_.write("a.list", "a.test U D\n");

  // The temporary output cannot be made.
  r = run({"-i", "a.list", "-o", "nodir/out.list"});
  EXPECT_EQ(r.err, "fail to open output file.: No such file or directory\n");
  EXPECT_EQ(r.status, 1);
  // A device is written directly and stays a device; a failed write is reported.
  r = run({"-i", "a.list", "-o", "/dev/null"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  r = run({"-i", "a.list", "-o", "/dev/full"});
  EXPECT_EQ(r.err, "Failed to write /dev/full: No space left on device\n");
  EXPECT_EQ(r.status, 1);
  // A symbolic link planted under the temporary name is replaced, never followed: the
  // process id is unknown here, so every name it could take cannot be planted; the output
  // itself being a symbolic link to a file is replaced by the new file.
  ASSERT_EQ(symlink("b.list", path("link.list").c_str()), 0);
  r = run({"-i", "a.list", "-o", "link.list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("b.list"), "b.test U D\n");
  EXPECT_EQ(dir_.read("link.list"), "a.test U D\n");
}

// The temporary file "<output>.<pid>.tmp": a shell that plants something under the name its
// own process id gives, then becomes cvlistmerge with exec (same process id).
TEST_F(CvlistmergeTest, TemporaryFileName) {
  dir_.write("a.list", "a.test U D\n");
  dir_.write("victim", "precious\n");
  const std::string prog = cv_bin("cvlistmerge");
  auto sh = [&](const std::string& script) {
    return cv_run({"/bin/sh", "-c", script}, "", dir_.path());
  };
  // A stale file or a planted symbolic link is removed once, never followed.
  auto r = sh("echo stale > out.list.$$.tmp; exec " + prog + " -i a.list -o out.list");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\n");
  r = sh("ln -s victim out.list.$$.tmp; exec " + prog + " -i a.list -o out.list");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("victim"), "precious\n");
  EXPECT_EQ(others({"a.list", "victim", "out.list"}), std::vector<std::string>{});
  // A name that cannot be removed (a directory) fails the second attempt too.
  r = sh("mkdir out.list.$$.tmp; exec " + prog + " -i a.list -o out.list");
  EXPECT_EQ(r.err, "fail to open output file.: Is a directory\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\n");
  // Standard input that is the output file is refused like a named input.
  r = sh("exec " + prog + " -i - -o out.list < out.list");
  EXPECT_EQ(r.err,
            "Error output file out.list is the same file as the input -. Nothing written.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.list"), "a.test U D\n");
}

// A list written with -x or -X loads into the same verdicts as the plain list.
TEST_F(CvlistmergeTest, HashedListsGiveThePlainVerdicts) {
  dir_.write("a.list",
             "# hosts and parents\n"
             "example.test U C 10\n"
             "www.example.test U C 11,12\n"
             "deep.a.b.example.test U D\n"
             "allow.test U A\n"
             "http://scheme.test U C 13\n"
             "https://scheme.test/secure U C 14\n"
             "scheme.test/path/to U C 15\n"
             "http://port.test:8080/ U C 16\n"
             "port.test:8443/p U C 17\n"
             "http://port.test:80/x U C 18\n"
             "query.test/s?a=1&b U C 19\n"
             "query.test/s?a=1 U C 20\n"
             "http://Case.test/Mixed/Path Uc C 21\n"
             "10.1.2.3 U C 22\n"
             "http://10.1.2.4/p U C 23\n"
             "192.0.2.0-192.0.2.255 U D\n"
             "[2001:db8::5] U C 24\n"
             "http://q.test/r?utm=1 U Q -utm\n"
             "ftp S C 25\n"
             "/global/path P C 26\n"
             "?tracking=1 Q C 27\n"
             "kw.test 28\n"
             "http://empty.test:/x U C 29\n"
             "http://pathhost.test/p P C 31\n");
  dir_.write("b.list",
             "www.example.test U C 30\n"  // the later file wins
             "http://user:pw@example.test/ U D\n");
  dir_.write("urls",
             "http://example.test/\n"
             "http://a.example.test/x\n"
             "http://www.example.test/\n"
             "https://x.deep.a.b.example.test/\n"
             "http://allow.test/\n"
             "http://scheme.test/\n"
             "https://scheme.test/\n"
             "https://scheme.test/secure/more\n"
             "http://scheme.test/path/to/x\n"
             "http://scheme.test/path\n"
             "http://port.test:8080/\n"
             "http://port.test/\n"
             "https://port.test:8443/p/q\n"
             "http://port.test/x\n"
             "http://query.test/s?b=2&a=1\n"
             "http://query.test/s?a=1\n"
             "http://query.test/s?a=2\n"
             "http://case.test/mixed/PATH/z\n"
             "http://10.1.2.3/\n"
             "https://10.1.2.3/x\n"
             "http://10.1.2.4/p\n"
             "http://10.1.2.4/\n"
             "http://192.0.2.77/\n"
             "http://[2001:db8::5]/\n"
             "http://q.test/r?utm=1&k=2\n"
             "ftp://files.test/\n"
             "http://other.test/global/path\n"
             "http://other.test/x?tracking=1\n"
             "http://kw.test/\n"
             "http://empty.test:/x/y\n"
             "http://empty.test/x\n"
             "http://pathhost.test/p\n"
             "http://none.test/\n");
  auto plain = run({"-i", "a.list", "-i", "b.list", "-o", "plain.list"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  auto check = [&](const std::string& list) {
    return cv_run({cv_bin("cvlistcheck"), "-i", list, "-f", "urls"}, "", dir_.path());
  };
  auto expected = check("plain.list");
  // The URLs reach every kind of entry; seven of them miss (no entry for https at
  // scheme.test, none for port.test itself, a=2, 10.1.2.4 without its path, empty.test
  // without its empty port, a path entry that names a host, none.test).
  size_t misses = 0;
  for (size_t p = expected.out.find("NOT FOUND"); p != std::string::npos;
       p = expected.out.find("NOT FOUND", p + 1)) {
    ++misses;
  }
  EXPECT_EQ(misses, 7u) << expected.out;
  EXPECT_NE(expected.out.find("http://none.test/ NOT FOUND\n"), std::string::npos);
  EXPECT_NE(expected.out.find("http://query.test/s?b=2&a=1 Category: 19\n"), std::string::npos);
  EXPECT_NE(expected.out.find("http://case.test/mixed/PATH/z Category: 21\n"), std::string::npos);
  EXPECT_NE(expected.out.find("https://10.1.2.3/x Category: 22\n"), std::string::npos);
  EXPECT_NE(expected.out.find("http://empty.test:/x/y Category: 29\n"), std::string::npos);
  EXPECT_NE(expected.out.find("http://www.example.test/ Category: 30\n"), std::string::npos);
  EXPECT_NE(expected.out.find("http://192.0.2.77/ Denied\n"), std::string::npos);
  for (const char* mode : {"-x", "-X"}) {
    auto r = run({mode, "-i", "a.list", "-i", "b.list", "-o", "hashed.list"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Nothing readable is left of the host names.
    EXPECT_EQ(dir_.read("hashed.list").find("example"), std::string::npos);
    auto got = check("hashed.list");
    EXPECT_EQ(got.out, expected.out) << mode;
    EXPECT_EQ(got.err, expected.err) << mode;
    EXPECT_EQ(got.status, expected.status) << mode;
  }
}

}  // namespace
