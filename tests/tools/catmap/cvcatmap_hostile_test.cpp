// cvcatmap run as a careless or hostile caller would: outputs that are inputs, unreadable
// inputs, full or closed standard output, file-size and memory limits. Each case lost data
// or passed before its mend.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/hostile.h"
#include "support/run_process.h"

namespace {

const char* const mapping_text = "2 10 20\n1 20 30\n";
const char* const list_text = "a.test 6 10\nb.test 6 5,20\n";

class CvcatmapHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("m.dat", mapping_text);
    dir_.write("c.dat", "0 30 31\n");
    dir_.write("list.txt", list_text);
    dir_.write("prev.txt", "previous\n");
  }
  cv_run_result run(std::vector<std::string> args) {
    args.insert(args.begin(), cv_bin("cvcatmap"));
    return cv_run(args, "", dir_.path());
  }
  cv_run_result sh(const std::string& script) { return cv_run_shell(script, dir_.path()); }
  cv_tempdir dir_;
};

TEST_F(CvcatmapHostileTest, NoOutputReplacesAnInput) {
  struct row {
    std::vector<std::string> args;
    const char* err;
  };
  const row rows[] = {
      {{"-m", "m.dat", "-i", "list.txt", "-o", "m.dat"},
       "Refusing to write list file m.dat: it is the category mapping file.\n"},
      {{"-m", "m.dat", "-D", "m.dat"},
       "Refusing to write dump file m.dat: it is the category mapping file.\n"},
      {{"-m", "m.dat", "-c", "c.dat", "-i", "list.txt", "-o", "c.dat"},
       "Refusing to write list file c.dat: it is the custom mapping file.\n"},
      {{"-m", "m.dat", "-c", "c.dat", "-D", "./c.dat"},
       "Refusing to write dump file ./c.dat: it is the custom mapping file.\n"},
      {{"-m", "m.dat", "-i", "list.txt", "-o", "./list.txt"},
       "Refusing to write list file ./list.txt: it is the input file.\n"},
      {{"-m", "m.dat", "-i", "list.txt", "-D", "list.txt"},
       "Refusing to write dump file list.txt: it is the input file.\n"},
      // A -O name that happens to be the mapping file.
      {{"-m", "p_catver_1.dat", "-i", "list.txt", "-V", "1", "-O", "p"},
       "Refusing to write list file p_catver_1.dat: it is the category mapping file.\n"},
  };
  dir_.write("p_catver_1.dat", mapping_text);
  for (const row& r : rows) {
    auto res = run(r.args);
    EXPECT_EQ(res.err, r.err) << r.args[r.args.size() - 1];
    EXPECT_EQ(res.status, 1) << r.err;
    EXPECT_EQ(dir_.read("m.dat"), mapping_text);
    EXPECT_EQ(dir_.read("c.dat"), "0 30 31\n");
    EXPECT_EQ(dir_.read("list.txt"), list_text);
    EXPECT_EQ(dir_.read("p_catver_1.dat"), mapping_text);
  }
  // A hard link is the same file under another name.
  ASSERT_EQ(link((dir_.path() + "/m.dat").c_str(), (dir_.path() + "/alias.dat").c_str()), 0);
  auto res = run({"-m", "m.dat", "-i", "list.txt", "-o", "alias.dat"});
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(dir_.read("m.dat"), mapping_text);
}

TEST_F(CvcatmapHostileTest, FailuresLeaveTheOldOutput) {
  std::filesystem::create_directory(dir_.path() + "/somedir");
  auto r = run({"-m", "m.dat", "-i", "somedir", "-o", "prev.txt"});
  EXPECT_EQ(r.err, "Failed to read category list file 'somedir'.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("prev.txt"), "previous\n");

  std::string big;
  for (int i = 0; i < 3000; ++i) big += "u" + std::to_string(i) + ".test 9 10\n";
  dir_.write("big.txt", big);
  // SIGXFSZ killed the program with a partial output.
  r = sh("ulimit -f 8; exec \"$BIN/cvcatmap\" -m m.dat -i big.txt -o prev.txt");
  EXPECT_EQ(r.err, "Failed to write list file prev.txt\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("prev.txt"), "previous\n");
  EXPECT_EQ(cv_leftover_temporaries(dir_.path()), "");
}

TEST_F(CvcatmapHostileTest, StandardOutputFullOrClosed) {
  auto r = sh("exec \"$BIN/cvcatmap\" -b >/dev/full");
  EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n");
  EXPECT_EQ(r.status, 1);
  // With standard output closed, the output file became descriptor 1 and the -d dump was
  // written into the list.
  r = sh("exec \"$BIN/cvcatmap\" -m m.dat -d -i list.txt -o out.txt >&-");
  EXPECT_EQ(dir_.read("out.txt"), "a.test 6 30\nb.test 6 5,30\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CvcatmapHostileTest, OutOfMemoryLeavesTheOldOutput) {
  if (cv_sanitized_build) GTEST_SKIP() << "address space limits and AddressSanitizer exclude "
                                          "each other";
  {
    std::ofstream f(dir_.path() + "/huge.txt");
    f << "a.test 6 10\nb.test " << std::string(150u << 20, 'x') << " 10\n";
  }
  auto r = sh("ulimit -v 200000; exec \"$BIN/cvcatmap\" -m m.dat -i huge.txt -o prev.txt");
  EXPECT_EQ(r.err, "out of memory\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir_.read("prev.txt"), "previous\n");
  EXPECT_EQ(cv_leftover_temporaries(dir_.path()), "");
}

}  // namespace
