// End-to-end tests: the built cvcatmap run as a process on files in a scratch directory.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "cvpath.h"
#include "support/run_process.h"

namespace {

const char* const usage_body =
    "  -i inputfile\t\tCategory list input file name (e.g. masterlist or Category URL list).\n"
    "\t\t\tIt accepts input from STDIN if not specified. The input format is:\n"
    "\t\t\t\t# <URL><SPACE><Number of characters in the URL><SPACE><Category of the URL>\n"
    "  -o outputfile\t\tCategory list output file full name including path.\n"
    "\t\t\tIt writes output to STDOUT if not specified.\n"
    "\t\t\tThe output format is the same as the input format, but the Categories have been "
    "mapped.\n"
    "  -O outputfileprefix\tOutput category list file name prefix when mapping to multiple "
    "versions. It will be appended by _catver_VERSION.dat\n"
    "  -f fieldindex\t\tIndex of the Category field in the list input file.\n"
    "\t\t\tDefaults to 3 to select the third field as the category number.\n"
    "  -v catversion\t\tCategory version number to map to from the latest version, default 1 "
    "for the first version.\n"
    "  -V catversions\tMultiple category versions to map to from the latest version.\n"
    "\t\t\tThe output can be written into multiple files with option -O outputfileprefix.\n"
    "  -m catmappingfile\tCategory mappings file. Defines the new destination Category to use "
    "for each specified source Category.\n"
    "\t\t\tThe default catmapping file CV_PATH/var/lib/lists/catmapping.dat. The format is:\n"
    "\t\t\t\t# <CAT VERSION><SPACE><SOURCE CAT><SPACE><DESTINATION CAT>\n"
    "  -c custommappingfile\tCustom category mappings file, no custom mapping if not "
    "specified.\n"
    "\t\t\tUse similar format as the catmapping file. The catversion must be set to 0.\n"
    "  -r removingcats\tMapping destination categories that make the source categories removed "
    "from the original category set.\n"
    "\t\t\tDefaults to 0\n"
    "  -d\t\t\tOption to dump cascaded rules to STDOUT when mapping for a specific category "
    "version.\n"
    "  -D catmappingdumpfile\tDump cascaded mapping rules to a file and exit.\n"
    "  -h\t\t\tPrint this usage.\n"
    "  -b\t\t\tDisplay the build version of the tool.\n"
    "\n";

const std::regex banner_re(
    "Corvane Category Mapping Utility 6\\.3\\.3 Build: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
    "\\d\\d:\\d\\d:\\d\\d\n");

// Checks the usage text: banner line, usage line, empty line, the options, an empty line.
void expect_usage(const std::string& out, const std::string& prog) {
  size_t nl = out.find('\n');
  ASSERT_NE(nl, std::string::npos);
  EXPECT_TRUE(std::regex_match(out.substr(0, nl + 1), banner_re)) << out.substr(0, nl + 1);
  EXPECT_EQ(out.substr(nl + 1), "Usage: " + prog + " [options]\n\n" + usage_body);
}

// A mapping file of three versions; the newest categories are those of version 4.
const char* const mapping_text =
    "#VERSION FROMCAT TOCAT\n"
    "3 5 6\n"
    "3 10 20\n"
    "2 20 30\n"
    "2 8 254\n"
    "1 30 31\n"
    "1 40 0\n"
    "1 41\n";

class CvcatmapTest : public ::testing::Test {
 protected:
  void SetUp() override { map_ = dir_.write("map.dat", mapping_text); }

  // Runs cvcatmap with -m map.dat (unless `with_map` is false) in the scratch directory.
  cv_run_result run(std::vector<std::string> args, const std::string& input = "",
                    bool with_map = true) {
    if (with_map) args.insert(args.begin(), {"-m", map_});
    args.insert(args.begin(), cv_bin("cvcatmap"));
    return cv_run(args, input, dir_.path());
  }

  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
  bool exists(const std::string& name) const {
    struct stat st;
    return stat(path(name).c_str(), &st) == 0;
  }

  cv_tempdir dir_;
  std::string map_;
};

TEST_F(CvcatmapTest, RewritesOnlyTheCategoryField) {
  auto r = run({"-v", "3"}, "a.test/page 11 5,7\n");
  EXPECT_EQ(r.out, "a.test/page 11 6,7\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // Version 1 (the default) composes all three versions.
  r = run({}, "a.test/page 11 10,12 trailing field\nb.test 6 20\nc.test 6 30,40\n");
  EXPECT_EQ(r.out, "a.test/page 11 12,31 trailing field\nb.test 6 31\nc.test 6 31\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // Another field index; empty fields from repeated spaces stay in place.
  r = run({"-f", "2", "-v", "3"}, "x 5 y\nx  5\n#  5\nz 5,10  w\n");
  EXPECT_EQ(r.out, "x 6 y\n#  5\nz 6,20  w\n");
  EXPECT_EQ(r.err, "Invalid category number in line: x  5.\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapTest, CategoryFieldsAreReadUpToTheFirstPieceThatIsNoNumber) {
  auto r = run({"-v", "3"}, "a 1 9,x,3\nb 1 ,3\nc 1 9,,3\nd 1 x,3\ne 1 5abc\n");
  EXPECT_EQ(r.out, "a 1 9\nb 1 3\nc 1 3,9\ne 1 6\n");
  EXPECT_EQ(r.err, "Invalid category number in line: d 1 x,3.\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapTest, RemovedAndNewUrlCategories) {
  // 40 maps to 0 (removing) and 41 to 0: an empty set becomes 45.
  auto r = run({}, "a 1 40\nb 1 40,41\nc 1 40,7\n");
  EXPECT_EQ(r.out, "a 1 45\nb 1 45\nc 1 7\n");
  EXPECT_EQ(r.status, 0);
  // With another removing list the 0 destination is a category of its own.
  r = run({"-r", "31"}, "a 1 40,30\n");
  EXPECT_EQ(r.out, "a 1 0\n");
  // 8 becomes 254 at version 2: the line is left out, as is a line that has 254 already.
  r = run({}, "a 1 8\nb 1 8,7\nc 1 254,7\nd 1 7\n");
  EXPECT_EQ(r.out, "d 1 7\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapTest, VersionOutsideTheFileLeavesCategoriesAlone) {
  auto r = run({"-v", "7"}, "a 1 5,10\nb 1 254\nc 1 8\n");
  EXPECT_EQ(r.out, "a 1 5,10\nc 1 8\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  r = run({"-v", "0", "-d"}, "a 1 5\n");
  EXPECT_EQ(r.out, "No mapping rules for the category version 0\na 1 5\n");
}

TEST_F(CvcatmapTest, LineMessagesCommentsAndLineEnds) {
  std::string input =
      "# comment 5\n"
      "\n"
      "only two\n"
      "a 1 5\r\n"
      "b 1 x\n"
      "\r\n"
      "c 1 10\r\r\n"
      "d 1 5";
  auto r = run({"-v", "3"}, input);
  // Only one carriage return is dropped; the second one ends the category number.
  EXPECT_EQ(r.out, "# comment 5\n\na 1 6\n\nc 1 20\n");
  EXPECT_EQ(r.err,
            "Not enough tokens in line: only two.\n"
            "Invalid category number in line: b 1 x.\n"
            "Last line without newline not converted: d 1 5.\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapTest, LongLinesAndManyCategoriesAreNeverCut) {
  std::string cats;
  for (int c = 1000; c < 1400; ++c) {
    if (!cats.empty()) cats += ',';
    cats += std::to_string(c);
  }
  std::string url(3 << 20, 'u');  // longer than the read buffer
  auto r = run({}, url + " 1 " + cats + ",10\n" + "b 1 10\n");
  EXPECT_EQ(r.out, url + " 1 31," + cats + "\nb 1 31\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_GT(cats.size(), 1023u);
}

TEST_F(CvcatmapTest, OptionsUsageAndBanner) {
  std::string prog = cv_bin("cvcatmap");
  auto r = run({"-h"}, "", false);
  expect_usage(r.out, prog);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);

  r = run({"-x"}, "", false);
  expect_usage(r.out, prog);
  EXPECT_EQ(r.err, prog + ": invalid option -- 'x'\n");
  EXPECT_EQ(r.status, 255);

  r = run({"-i"}, "", false);
  expect_usage(r.out, prog);
  EXPECT_EQ(r.err, prog + ": option requires an argument -- 'i'\n");
  EXPECT_EQ(r.status, 255);

  for (const char* f : {"0", "-2", "x"}) {
    r = run({"-f", f}, "a 1 5\n");
    expect_usage(r.out, prog);
    EXPECT_EQ(r.err, "Category field index should be greater than 0.\n");
    EXPECT_EQ(r.status, 255);
  }

  r = run({"-b"}, "", false);
  EXPECT_TRUE(std::regex_match(r.out, banner_re)) << r.out;
  EXPECT_EQ(r.status, 0);

  // Arguments that are not options are ignored.
  r = run({"stray", "-v", "3"}, "a 1 5\n");
  EXPECT_EQ(r.out, "a 1 6\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapTest, MappingFileFromTheInstallRoot) {
  const char* old = getenv("CV_PATH");
  std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  std::filesystem::create_directories(dir_.path() + "/root/var/lib/lists");
  dir_.write("root/var/lib/lists/catmapping.dat", "1 5 9\n");
  setenv("CV_PATH", (dir_.path() + "/root").c_str(), 1);
  auto r = run({}, "a 1 5\n", false);
  EXPECT_EQ(r.out, "a 1 9\n");
  EXPECT_EQ(r.status, 0);

  setenv("CV_PATH", (dir_.path() + "/nowhere").c_str(), 1);
  r = run({}, "a 1 5\n", false);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Failed to load category mapping object.\n" + dir_.path() +
                       "/nowhere/var/lib/lists/catmapping.dat: Could not open category mapping "
                       "file: No such file or directory.\n");
  EXPECT_EQ(r.status, 1);
  if (saved)
    setenv("CV_PATH", saved->c_str(), 1);
  else
    unsetenv("CV_PATH");
}

TEST_F(CvcatmapTest, InstallRootHelpers) {
  setenv("CV_PATH", "/opt/cv", 1);
  cvpath_init();
  EXPECT_EQ(cvpath_append("/var/lib/lists/catmapping.dat"), "/opt/cv/var/lib/lists/catmapping.dat");
  EXPECT_EQ(cvpath_append("etc/x.conf"), "/opt/cv/etc/x.conf");
  unsetenv("CV_PATH");
  cvpath_init();
  EXPECT_EQ(cvpath_root(), "/usr/local/corvane");
  ASSERT_NE(getenv("CV_PATH"), nullptr);
  EXPECT_STREQ(getenv("CV_PATH"), "/usr/local/corvane");
  EXPECT_EQ(cvpath_append("x"), "/usr/local/corvane/x");
  // An empty CV_PATH is an empty root.
  setenv("CV_PATH", "", 1);
  cvpath_init();
  EXPECT_EQ(cvpath_append("/a"), "/a");
  unsetenv("CV_PATH");
}

TEST_F(CvcatmapTest, BadMappingFiles) {
  dir_.write("empty.dat", "# nothing\n1 2 3 4\n1 2 3");
  // The documented line stays as it is; the reason follows it on a line of its own.
  auto r = run({"-m", "empty.dat"}, "a 1 5\n", false);
  EXPECT_EQ(r.err,
            "Failed to load category mapping object.\n"
            "empty.dat: No valid mapping rules in the category mapping file.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);
  r = run({"-m", "missing.dat"}, "a 1 5\n", false);
  EXPECT_EQ(r.err,
            "Failed to load category mapping object.\n"
            "missing.dat: Could not open category mapping file: No such file or directory.\n");
  EXPECT_EQ(r.status, 1);
  std::filesystem::create_directory(dir_.path() + "/dir.dat");
  r = run({"-m", "dir.dat"}, "a 1 5\n", false);
  EXPECT_EQ(r.err,
            "Failed to load category mapping object.\n"
            "dir.dat: Could not open category mapping file: Is a directory.\n");
  EXPECT_EQ(r.status, 1);
  // Binary junk is no rule and no crash.
  dir_.write("junk.dat", std::string("\0\xff\x01\n", 4) + "\x80 \x81 \x82 \x83\n\xfe 1 2");
  r = run({"-m", "junk.dat"}, "a 1 5\n", false);
  EXPECT_EQ(r.status, 1);
  // A mapping file that is a pipe is read to its end.
  r = cv_run({cv_bin("cvcatmap"), "-m", "/dev/stdin", "-i", "list.txt"}, "1 5 9\n", dir_.path());
  EXPECT_EQ(r.err,
            "Could not open file list.txt mode r\n"
            "Could not open category list file 'list.txt'.\n");
  dir_.write("list.txt", "a 1 5\n");
  r = cv_run({cv_bin("cvcatmap"), "-m", "/dev/stdin", "-i", "list.txt"}, "1 5 9\n", dir_.path());
  EXPECT_EQ(r.out, "a 1 9\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapTest, UnopenableFilesFailTheRun) {
  dir_.write("out.txt", "keep me\n");
  auto r = run({"-i", "missing.txt", "-o", "out.txt"});
  EXPECT_EQ(r.err,
            "Could not open file missing.txt mode r\n"
            "Could not open category list file 'missing.txt'.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("out.txt"), "keep me\n");

  dir_.write("in.txt", "a 1 5\n");
  // A device is written in place, never replaced by a regular file.
  r = run({"-i", "in.txt", "-o", "/dev/null"});
  EXPECT_EQ(r.status, 0);
  struct stat devnull;
  ASSERT_EQ(stat("/dev/null", &devnull), 0);
  EXPECT_TRUE(S_ISCHR(devnull.st_mode));
  r = run({"-i", "in.txt", "-o", "no/such/dir/out.txt"});
  EXPECT_EQ(r.err, "Failed to open new list file for writing no/such/dir/out.txt\n");
  EXPECT_EQ(r.status, 1);

  // A directory opens but cannot be read.
  r = run({"-i", "."});
  EXPECT_EQ(r.err, "Failed to read category list file '.'.\n");
  EXPECT_EQ(r.status, 1);

  // With -V the other versions still run.
  r = run({"-i", "in.txt", "-V", "3,1", "-O", "no/such/dir/p"});
  EXPECT_EQ(r.err,
            "Failed to open new list file for writing no/such/dir/p_catver_3.dat\n"
            "Failed to open new list file for writing no/such/dir/p_catver_1.dat\n");
  EXPECT_EQ(r.status, 1);

  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  r = run({"-i", "in.txt", "-V", "3,1", "-O", "sub/p"});
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(system(("chmod 0555 " + path("sub")).c_str()), 0);
  unlink(path("sub/p_catver_1.dat").c_str());
  if (access(path("sub").c_str(), W_OK) != 0) {  // root may write anyway
    r = run({"-i", "in.txt", "-V", "3,1", "-O", "sub/p"});
    EXPECT_EQ(r.err, "Failed to open new list file for writing sub/p_catver_1.dat\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(dir_.read("sub/p_catver_3.dat"), "a 1 6\n");
  }
  ASSERT_EQ(system(("chmod 0755 " + path("sub")).c_str()), 0);
}

TEST_F(CvcatmapTest, OutputThatIsTheInputIsRefusedBeforeTruncating) {
  dir_.write("in.txt", "a 1 5\n");
  auto r = run({"-i", "in.txt", "-o", "in.txt"});
  EXPECT_EQ(r.err, "Refusing to write list file in.txt: it is the input file.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("in.txt"), "a 1 5\n");

  // Through another name (a hard link), and from standard input.
  ASSERT_EQ(link(path("in.txt").c_str(), path("alias.txt").c_str()), 0);
  r = run({"-i", "in.txt", "-o", "alias.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("in.txt"), "a 1 5\n");
  r = cv_run({"/bin/sh", "-c", cv_bin("cvcatmap") + " -m map.dat -o in.txt < in.txt"}, "",
             dir_.path());
  EXPECT_EQ(r.err, "Refusing to write list file in.txt: it is the input file.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("in.txt"), "a 1 5\n");
  // Standard output appending to the input would never end.
  r = cv_run({"/bin/sh", "-c", cv_bin("cvcatmap") + " -m map.dat -i in.txt >> in.txt"}, "",
             dir_.path());
  EXPECT_EQ(r.err, "Refusing to write STDOUT: it is the input file.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("in.txt"), "a 1 5\n");

  // One -O name among several: only that version is refused.
  dir_.write("p_catver_3.dat", "a 1 5\n");
  r = run({"-i", "p_catver_3.dat", "-V", "3,1", "-O", "p"});
  EXPECT_EQ(r.err, "Refusing to write list file p_catver_3.dat: it is the input file.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("p_catver_3.dat"), "a 1 5\n");
  EXPECT_EQ(dir_.read("p_catver_1.dat"), "a 1 6\n");
}

TEST_F(CvcatmapTest, FailedWritesFailTheRun) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  auto r = run({"-o", "/dev/full"}, "a 1 5\n");
  EXPECT_EQ(r.err, "Failed to write list file /dev/full\n");
  EXPECT_EQ(r.status, 1);
  r = run({"-D", "/dev/full"});
  EXPECT_EQ(r.err, "Failed to write dump file /dev/full\n");
  EXPECT_EQ(r.status, 1);
  r = cv_run({"/bin/sh", "-c", cv_bin("cvcatmap") + " -m map.dat > /dev/full"}, "a 1 5\n",
             dir_.path());
  EXPECT_EQ(r.err, "Failed to write list file STDOUT\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvcatmapTest, SeveralVersionsIntoPrefixedFiles) {
  dir_.write("in.txt", "# list\na 1 5,10\nb 1 8\n");
  auto r = run({"-i", "in.txt", "-V", "1,3", "-O", "out"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("out_catver_1.dat"), "# list\na 1 6,31\n");
  EXPECT_EQ(dir_.read("out_catver_3.dat"), "# list\na 1 6,20\nb 1 8\n");

  // Standard input is read once and serves every version.
  r = run({"-V", "1,3", "-O", "stdin"}, "a 1 5,10\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("stdin_catver_1.dat"), "a 1 6,31\n");
  EXPECT_EQ(dir_.read("stdin_catver_3.dat"), "a 1 6,20\n");

  // The version text names the file; a later -V replaces an earlier one.
  r = run({"-V", "9", "-V", "03,1", "-O", "t"}, "a 1 10\n");
  EXPECT_EQ(dir_.read("t_catver_03.dat"), "a 1 20\n");
  EXPECT_EQ(dir_.read("t_catver_1.dat"), "a 1 31\n");
  EXPECT_FALSE(exists("t_catver_9.dat"));
}

TEST_F(CvcatmapTest, SeveralVersionsIntoOneOutputKeepEveryList) {
  const std::string input = "a 1 5,10\n";
  const std::string expected = "a 1 6,31\na 1 6,20\na 1 6,30\n";
  auto r = run({"-V", "1,3,2"}, input);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 0);

  r = run({"-V", "1,3,2", "-o", "all.txt"}, input);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dir_.read("all.txt"), expected);

  dir_.write("in.txt", input);
  r = run({"-V", "1,3,2", "-i", "in.txt", "-o", "all2.txt", "-d"});
  EXPECT_EQ(dir_.read("all2.txt"), expected);
  EXPECT_EQ(r.out,
            "1 5 6\n1 8 254\n1 10 31\n1 20 31\n1 30 31\n1 40 0\n1 41 0\n"
            "3 5 6\n3 10 20\n"
            "2 5 6\n2 8 254\n2 10 30\n2 20 30\n");

  // A pipe named by -i is read once too.
  r = cv_run({"/bin/sh", "-c",
              "printf 'a 1 10\\n' | " + cv_bin("cvcatmap") + " -m map.dat -V 1,3 -i /dev/stdin"},
             "", dir_.path());
  EXPECT_EQ(r.out, "a 1 31\na 1 20\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapTest, DumpsOfTheComposedRules) {
  auto r = run({"-v", "2", "-d"}, "a 1 10\n");
  EXPECT_EQ(r.out, "2 5 6\n2 8 254\n2 10 30\n2 20 30\na 1 30\n");
  EXPECT_EQ(r.status, 0);

  r = run({"-D", "dump.txt", "-V", "3,9,1"}, "a 1 10\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("dump.txt"),
            "3 5 6\n3 10 20\n"
            "No mapping rules for the category version 9\n"
            "1 5 6\n1 8 254\n1 10 31\n1 20 31\n1 30 31\n1 40 0\n1 41 0\n");
  r = run({"-D", "dump2.txt", "-v", "2"});
  EXPECT_EQ(dir_.read("dump2.txt"), "2 5 6\n2 8 254\n2 10 30\n2 20 30\n");

  r = run({"-D", "no/such/dump.txt"});
  EXPECT_EQ(r.err,
            "Could not open file no/such/dump.txt mode w\n"
            "Could not open file 'no/such/dump.txt' to dump cascaded mappings.\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CvcatmapTest, CustomRules) {
  dir_.write("custom.dat", "0 31 77\n0 12 0\n");
  auto r = run({"-c", "custom.dat", "-d"}, "a 1 10,12,13\nb 1 12\n");
  EXPECT_EQ(r.out,
            "1 5 6\n1 8 254\n1 10 77\n1 12 0\n1 20 77\n1 30 77\n1 31 77\n1 40 0\n1 41 0\n"
            "a 1 13,77\nb 1 45\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // An unusable custom file is reported and the conversion goes on without it.
  r = run({"-c", "missing.dat"}, "a 1 10\n");
  EXPECT_EQ(r.out, "a 1 31\n");
  EXPECT_EQ(r.err,
            "Failed to load custom category mapping object: Could not open category mapping "
            "file.\n");
  EXPECT_EQ(r.status, 0);
  r = run({"-c", "custom.dat", "-v", "0"}, "a 1 10\n");
  EXPECT_EQ(r.out, "a 1 10\n");
  EXPECT_EQ(r.err,
            "Failed to load custom category mapping object: The destination cascade version "
            "exceeds ranges provided in catmapping file.\n");
}

}  // namespace
