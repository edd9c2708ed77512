#include "util/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

class FileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvfileXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  static strings buffer_lines(const std::string& path, bool* failed = nullptr) {
    auto fb = file_buffer_open(path.c_str());
    EXPECT_NE(fb, nullptr);
    strings out;
    if (!fb) return out;
    while (file_buffer_read_string(fb.get()) == 0) {
      EXPECT_EQ(strlen(fb->line), fb->line_len);
      out.emplace_back(fb->line, fb->line_len);
    }
    if (failed != nullptr) *failed = file_buffer_failed(fb.get());
    file_buffer_close(std::move(fb));
    return out;
  }

  static strings stream_lines(const std::string& path) {
    file_stream f = file_open(path.c_str(), "r");
    EXPECT_NE(f, nullptr);
    strings out;
    while (auto line = file_read_string(f.get())) out.push_back(*line);
    return out;
  }

  static strings all_string_lines(const std::string& path) {
    auto text = file_read_all(path.c_str());
    EXPECT_TRUE(text);
    strings out;
    char* cursor = text->data();
    while (char* line = file_read_all_string(&cursor)) out.emplace_back(line);
    return out;
  }

  std::string dir_;
};

}  // namespace

TEST_F(FileTest, EveryLineReaderStripsOneCarriageReturnAndDropsAnUnterminatedLastLine) {
  std::string path = write("a.txt", "one\r\n\ntwo\r\r\n\r\nthree\nlast without newline");
  strings expected = {"one", "", "two\r", "", "three"};
  EXPECT_EQ(buffer_lines(path), expected);
  EXPECT_EQ(stream_lines(path), expected);
  EXPECT_EQ(all_string_lines(path), expected);

  std::string empty = write("empty.txt", "");
  EXPECT_EQ(buffer_lines(empty), strings{});
  EXPECT_EQ(stream_lines(empty), strings{});
  EXPECT_EQ(all_string_lines(empty), strings{});

  std::string partial = write("partial.txt", "no newline at all");
  EXPECT_EQ(buffer_lines(partial), strings{});
  EXPECT_EQ(stream_lines(partial), strings{});
  EXPECT_EQ(all_string_lines(partial), strings{});
}

TEST_F(FileTest, ReadAllStringAdvancesItsCursorInPlace) {
  char text[] = "a\r\nb\nrest";
  char* cursor = text;
  EXPECT_EQ(file_read_all_string(&cursor), text);
  EXPECT_STREQ(text, "a");
  EXPECT_EQ(cursor, text + 3);
  EXPECT_STREQ(file_read_all_string(&cursor), "b");
  EXPECT_EQ(file_read_all_string(&cursor), nullptr);
  EXPECT_STREQ(cursor, "rest") << "the unterminated rest stays where it was";
  char* null_cursor = nullptr;
  EXPECT_EQ(file_read_all_string(&null_cursor), nullptr);
  EXPECT_EQ(file_read_all_string(nullptr), nullptr);
}

TEST_F(FileTest, FileBufferCrossesChunksAndGrowsForLongLines) {
  // Lines of many lengths, so that line ends fall on and around every chunk boundary, plus
  // lines far longer than a chunk and the initial capacity.
  strings expected;
  std::string content;
  for (int i = 0; i < 3000; i++) {
    std::string line(static_cast<size_t>((i * 37) % 211), static_cast<char>('a' + i % 26));
    line += std::to_string(i);
    if (i % 7 == 0) {
      content += line + "\r\n";
    } else {
      content += line + "\n";
    }
    expected.push_back(line);
    if (i == 1000 || i == 2000) {
      std::string huge(100000 + static_cast<size_t>(i), 'H');
      content += huge + "\n";
      expected.push_back(huge);
    }
  }
  std::string path = write("many.txt", content);
  bool failed = true;
  EXPECT_EQ(buffer_lines(path, &failed), expected);
  EXPECT_FALSE(failed) << "end of file is not a failure";
  EXPECT_EQ(stream_lines(path), expected);
  EXPECT_EQ(all_string_lines(path), expected);
  EXPECT_EQ(file_buffer_line_count(path.c_str()), static_cast<long>(expected.size()));
  EXPECT_EQ(file_line_count(path.c_str()), static_cast<long>(expected.size()));
  auto all = file_buffer_read_all(path.c_str());
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, expected);
}

TEST_F(FileTest, FileBufferReadsOnAfterALineWithANul) {
  static const char raw[] = "first\nhas\0hidden tail\nnext\n\0\nlast\n";
  std::string content(raw, sizeof raw - 1);
  std::string path = write("nul.txt", content);
  EXPECT_EQ(buffer_lines(path), (strings{"first", "has", "next", "", "last"}));
  auto fb = file_buffer_open(path.c_str());
  ASSERT_NE(fb, nullptr);
  ASSERT_EQ(file_buffer_read_string(fb.get()), 0);
  ASSERT_EQ(file_buffer_read_string(fb.get()), 0);
  EXPECT_EQ(fb->line_len, 3u);
}

TEST_F(FileTest, FileBufferTellsAReadErrorFromTheEndOfTheFile) {
  // A directory opens read-only but every read fails (EISDIR).
  auto fb = file_buffer_open(dir_.c_str());
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(file_buffer_read_string(fb.get()), 1);
  EXPECT_TRUE(file_buffer_failed(fb.get()));
  EXPECT_EQ(fb->error, EISDIR);
  EXPECT_EQ(file_buffer_read_string(fb.get()), 1) << "stays failed";
  EXPECT_EQ(file_buffer_line_count(dir_.c_str()), -1);
  EXPECT_EQ(file_buffer_read_all(dir_.c_str()), std::nullopt);
  EXPECT_EQ(file_line_count(dir_.c_str()), -1);

  std::string path = write("ok.txt", "x\n");
  auto ok = file_buffer_open(path.c_str());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(file_buffer_read_string(ok.get()), 0);
  EXPECT_EQ(file_buffer_read_string(ok.get()), 1);
  EXPECT_FALSE(file_buffer_failed(ok.get()));
  EXPECT_TRUE(ok->eof);

  EXPECT_EQ(file_buffer_open((dir_ + "/missing").c_str()), nullptr);
  EXPECT_EQ(file_buffer_open(nullptr), nullptr);
  EXPECT_EQ(file_buffer_read_string(nullptr), 1);
  EXPECT_FALSE(file_buffer_failed(nullptr));
  file_buffer_close(nullptr);
  EXPECT_EQ(file_buffer_line_count((dir_ + "/missing").c_str()), -1);
}

TEST_F(FileTest, ReadAllKeepsEveryByteAndReportsTheLength) {
  std::string content("a\0b\nc", 5);
  std::string path = write("bin.dat", content);
  size_t len = 99;
  auto data = file_read_all_size(path.c_str(), &len);
  ASSERT_TRUE(data);
  EXPECT_EQ(*data, content);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(data->c_str()[5], '\0');

  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 131 % 251);
  std::string big_path = write("big.dat", big);
  auto big_data = file_read_all(big_path.c_str());
  ASSERT_TRUE(big_data);
  EXPECT_TRUE(*big_data == big);

  len = 42;
  EXPECT_EQ(file_read_all_size((dir_ + "/missing").c_str(), &len), std::nullopt);
  EXPECT_EQ(len, 42u);
  EXPECT_EQ(file_read_all_size(dir_.c_str(), &len), std::nullopt) << "read of a directory fails";
  EXPECT_EQ(file_read_all(nullptr), std::nullopt);
  auto empty = file_read_all(write("e", "").c_str());
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, "");
}

TEST_F(FileTest, StreamReaderGrowsPastItsInitialRoom) {
  std::string long_line(1234, 'L');
  std::string path = write("s.txt", "short\n" + long_line + "\r\n" + std::string(501, 'x') + "\n");
  EXPECT_EQ(stream_lines(path), (strings{"short", long_line, std::string(501, 'x')}));
  EXPECT_EQ(file_read_string(nullptr), std::nullopt);
}

TEST_F(FileTest, OpenFailureIsReported) {
  testing::internal::CaptureStderr();
  std::string missing = dir_ + "/no/such/file";
  EXPECT_EQ(file_open(missing.c_str(), "r"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open file " + missing + " mode r\n");
  testing::internal::CaptureStderr();
  file_stream w = file_open((dir_ + "/new.txt").c_str(), "w");
  EXPECT_NE(w, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(FileTest, DescriptorReaderTakesNothingBeyondTheLine) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string input = "ab\r\ncd\nrest";
  ASSERT_EQ(::write(p[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(p[1]);
  EXPECT_EQ(file_read_string_fd(p[0]), "ab");
  char rest[16] = {};
  ssize_t n = read(p[0], rest, sizeof rest);
  EXPECT_EQ(std::string(rest, static_cast<size_t>(n)), "cd\nrest");
  close(p[0]);

  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(::write(p[1], "x\ntail", 6), 6);
  close(p[1]);
  EXPECT_EQ(file_read_string_fd(p[0]), "x");
  EXPECT_EQ(file_read_string_fd(p[0]), std::nullopt) << "unterminated tail dropped";
  close(p[0]);
  EXPECT_EQ(file_read_string_fd(-1), std::nullopt);
}

TEST_F(FileTest, FilesAndDirectories) {
  std::string sub = dir_ + "/sub";
  EXPECT_EQ(dir_exists(sub.c_str()), 1);
  EXPECT_EQ(dir_create(sub.c_str()), 0);
  EXPECT_EQ(dir_exists(sub.c_str()), 0);
  EXPECT_EQ(dir_create(sub.c_str()), -1) << "already there";
  std::string f = write("sub/f.txt", "12345");
  EXPECT_EQ(file_exists(f.c_str()), 0);
  EXPECT_EQ(dir_exists(f.c_str()), 1) << "a file is not a directory";
  EXPECT_EQ(file_exists((sub + "/none").c_str()), 1);
  EXPECT_EQ(file_size(f.c_str()), 5);
  EXPECT_EQ(file_size((sub + "/none").c_str()), -1);
  struct stat st;
  EXPECT_EQ(file_stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5);
  EXPECT_EQ(file_stat(f.c_str(), nullptr), -1);
  EXPECT_EQ(file_last_accessed(f.c_str()), st.st_atime);
  EXPECT_EQ(file_last_accessed((sub + "/none").c_str()), -1);
  EXPECT_EQ(file_exists(nullptr), 1);
  EXPECT_EQ(dir_exists(nullptr), 1);
  EXPECT_EQ(dir_create(nullptr), -1);
}

TEST_F(FileTest, ClearAllRemovesATreeButNeverFollowsLinks) {
  std::string tree = dir_ + "/tree";
  ASSERT_EQ(dir_create(tree.c_str()), 0);
  ASSERT_EQ(dir_create((tree + "/deep").c_str()), 0);
  write("tree/deep/a", "a");
  write("tree/b", "b");
  std::string outside = write("outside.txt", "keep me");
  ASSERT_EQ(symlink(dir_.c_str(), (tree + "/link_to_parent").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/deep/link_to_file").c_str()), 0);

  EXPECT_EQ(file_clear_all(tree.c_str()), -1) << "a path must end in a slash";
  EXPECT_EQ(dir_exists(tree.c_str()), 0);
  EXPECT_EQ(file_clear_all("/tm/"), -1);
  EXPECT_EQ(file_clear_all(nullptr), -1);

  EXPECT_EQ(file_clear_all((tree + "/").c_str()), 0);
  EXPECT_EQ(file_exists(tree.c_str()), 1);
  EXPECT_EQ(file_exists(outside.c_str()), 0);
  EXPECT_EQ(file_size(outside.c_str()), 7);
  EXPECT_EQ(file_clear_all((tree + "/").c_str()), -1) << "nothing left to remove";
}
