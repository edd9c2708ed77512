// The shared output plumbing: temporary file and rename, direct writes to non-regular files,
// checked writes, refusal of an output that is an input, and the category-set option parser.

#include "util/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "util/category_set.h"

namespace fs = std::filesystem;

namespace {

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cv_output_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void spill(const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  size_t entries() const {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(dir_)) {
      (void)e;
      ++n;
    }
    return n;
  }
  std::string dir_;
};

TEST_F(OutputFileTest, WritesThroughTemporaryFileAndRenamesOnCommit) {
  std::string out = path("out.list");
  spill(out, "old content\n");
  output_file f;
  ASSERT_TRUE(f.open(out.c_str()));
  std::string expected_temp = out + "." + std::to_string(getpid()) + ".tmp";
  EXPECT_EQ(f.temp_path(), expected_temp);
  fputs("new line\n", f.stream());
  fflush(f.stream());
  // Until the commit, the old output is what readers see.
  EXPECT_EQ(slurp(out), "old content\n");
  EXPECT_EQ(slurp(expected_temp), "new line\n");
  ASSERT_TRUE(f.commit());
  EXPECT_EQ(slurp(out), "new line\n");
  EXPECT_FALSE(fs::exists(expected_temp));
  EXPECT_EQ(entries(), 1u);
}

TEST_F(OutputFileTest, DiscardAndDestructorLeaveTheOldOutputUntouched) {
  std::string out = path("out.list");
  spill(out, "old\n");
  {
    output_file f;
    ASSERT_TRUE(f.open(out.c_str()));
    fputs("half written", f.stream());
  }
  EXPECT_EQ(slurp(out), "old\n");
  EXPECT_EQ(entries(), 1u);
  output_file g;
  ASSERT_TRUE(g.open(out.c_str()));
  g.discard();
  g.discard();
  EXPECT_EQ(slurp(out), "old\n");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(OutputFileTest, StaleTemporaryAndPlantedLinkAreReplacedNotFollowed) {
  std::string out = path("out.list");
  std::string victim = path("victim");
  spill(victim, "precious\n");
  std::string temp = out + "." + std::to_string(getpid()) + ".tmp";
  ASSERT_EQ(symlink(victim.c_str(), temp.c_str()), 0);
  output_file f;
  ASSERT_TRUE(f.open(out.c_str(), 0600));
  fputs("x\n", f.stream());
  ASSERT_TRUE(f.commit());
  EXPECT_EQ(slurp(victim), "precious\n");
  EXPECT_EQ(slurp(out), "x\n");
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(OutputFileTest, NonRegularFilesAreWrittenDirectly) {
  output_file f;
  ASSERT_TRUE(f.open("/dev/null"));
  EXPECT_TRUE(f.temp_path().empty());
  fputs("gone\n", f.stream());
  ASSERT_TRUE(f.commit());
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(entries(), 0u);
}

TEST_F(OutputFileTest, FailedWritesAndRenamesAreReportedAndCleanedUp) {
  // A full device: the write error surfaces at commit with its errno.
  output_file full;
  ASSERT_TRUE(full.open("/dev/full"));
  for (int i = 0; i < 10000; ++i) fputs("0123456789abcdef\n", full.stream());
  EXPECT_FALSE(full.commit());
  EXPECT_EQ(full.error(), ENOSPC);
  EXPECT_STREQ(full.failed_step(), "write");

  // A rename onto a directory fails: the temporary file goes, the directory stays.
  std::string out = path("adir");
  ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
  output_file f;
  // A directory is not a regular file, so it would be opened directly and fail.
  EXPECT_FALSE(f.open(out.c_str()));
  EXPECT_EQ(errno, EISDIR);

  // An unwritable folder: the temporary file cannot be created.
  output_file g;
  EXPECT_FALSE(g.open(path("missing/out.list").c_str()));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(OutputFileTest, RenameFailureKeepsNothingUnderTheName) {
  // The output name is a directory that appears only after the output was opened.
  std::string out = path("late");
  output_file f;
  ASSERT_TRUE(f.open(out.c_str()));
  fputs("data\n", f.stream());
  ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
  std::string sub = out + "/keep";
  spill(sub, "k");
  EXPECT_FALSE(f.commit());
  EXPECT_STREQ(f.failed_step(), "rename");
  EXPECT_TRUE(fs::is_directory(out));
  EXPECT_EQ(entries(), 1u);
}

TEST_F(OutputFileTest, StandardOutputNeedsNoTemporaryFile) {
  output_file f;
  ASSERT_TRUE(f.open("-"));
  EXPECT_TRUE(f.is_stdout());
  EXPECT_STREQ(f.name(), "STDOUT");
  EXPECT_TRUE(f.commit());
  output_file g;
  ASSERT_TRUE(g.open(nullptr));
  EXPECT_TRUE(g.is_stdout());
  EXPECT_TRUE(g.commit());
}

TEST_F(OutputFileTest, OutputEqualToAnInputIsFound) {
  std::string a = path("a.list"), b = path("b.list"), link = path("link.list");
  spill(a, "a\n");
  spill(b, "b\n");
  ASSERT_EQ(::link(b.c_str(), link.c_str()), 0);
  std::vector<std::string> inputs{a, b};
  EXPECT_EQ(output_clashes_with_inputs(path("new.list").c_str(), inputs), nullptr);
  EXPECT_EQ(output_clashes_with_inputs("-", inputs), nullptr);
  EXPECT_EQ(output_clashes_with_inputs(nullptr, inputs), nullptr);
  const char* clash = output_clashes_with_inputs(link.c_str(), inputs);
  ASSERT_NE(clash, nullptr);
  EXPECT_EQ(std::string(clash), b);
  EXPECT_TRUE(file_same(a.c_str(), a.c_str()));
  EXPECT_FALSE(file_same(a.c_str(), b.c_str()));
  EXPECT_FALSE(file_same(a.c_str(), path("none").c_str()));
}

TEST_F(OutputFileTest, ScratchFileIsExclusiveAndRetriedOnce) {
  std::string p = path("scratch");
  int fd = scratch_file_create(p.c_str(), 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "1", 1), 1);
  close(fd);
  // The name is taken: removed and created afresh, empty.
  fd = scratch_file_create(p.c_str(), 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(slurp(p), "");
  EXPECT_TRUE(scratch_file_track(p));
  scratch_file_untrack(p);
  EXPECT_FALSE(scratch_file_track(std::string(5000, 'x')));
}

TEST(CategorySetOption, ParsesNumbersUntilTheFirstPieceWithoutComma) {
  struct row {
    const char* text;
    const char* expect;
  } rows[] = {
      {"1,2,3", "1,2,3"},   {"3,1,2,1", "1,2,3"},    {"", ""},
      {"7,x,9", "7"},       {"7,,9", "7,9"},        {" 5, 6", "5,6"},
      {"+4", "4"},          {"-1", "4294967295"},   {"4294967296", "0"},
      {"12abc,13", "12"},   {",8", "8"},            {"99999999999999999999", "4294967295"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(category_set_parse_option(r.text).to_string(), r.expect) << r.text;
  }
}

}  // namespace
