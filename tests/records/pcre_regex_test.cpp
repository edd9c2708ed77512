#include "records/pcre_regex.h"

#include <gtest/gtest.h>

TEST(PcreRegex, CompileErrorsExecResultsAndOffsets) {
  std::string error;
  int offset = -1;
  EXPECT_EQ(pcre_regex_compile("a(b", &error, &offset), nullptr);
  EXPECT_EQ(error, "missing )");
  EXPECT_EQ(offset, 3);
  EXPECT_EQ(pcre_regex_compile("[", nullptr, nullptr), nullptr);

  pcre_regex_ptr re = pcre_regex_compile("b(x)?(c)", &error, &offset);
  ASSERT_NE(re, nullptr);
  int ov[pcre_regex_ovector_size];
  ASSERT_EQ(pcre_regex_exec(re.get(), "abcd", ov), 3);
  EXPECT_EQ(ov[0], 1);
  EXPECT_EQ(ov[1], 3);
  EXPECT_EQ(ov[2], -1);  // group 1 did not take part
  EXPECT_EQ(ov[4], 2);
  EXPECT_LT(pcre_regex_exec(re.get(), "xyz", ov), 0);
  // The subject is the view, not up to a NUL.
  EXPECT_LT(pcre_regex_exec(re.get(), std::string_view("ab\0c", 4), ov), 0);
  EXPECT_EQ(pcre_regex_exec(re.get(), std::string_view("\0bc", 3), ov), 3);

  // 20 groups plus the whole match do not fit in 20 pairs: 0.
  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "(a)";
  re = pcre_regex_compile(twenty.c_str(), nullptr, nullptr);
  ASSERT_NE(re, nullptr);
  EXPECT_EQ(pcre_regex_exec(re.get(), std::string(20, 'a'), ov), 0);
}

TEST(PcreRegex, DeepRecursionOnALongSubjectIsNoMatchInsteadOfACrash) {
  // Unbounded, this pattern nests twice per byte and overruns an 8 MB stack near 9000 bytes.
  pcre_regex_ptr re = pcre_regex_compile("^(.)*$", nullptr, nullptr);
  ASSERT_NE(re, nullptr);
  int ov[pcre_regex_ovector_size];
  EXPECT_LT(pcre_regex_exec(re.get(), std::string(100000, 'a'), ov), 0);
  // Ordinary lengths still match.
  EXPECT_EQ(pcre_regex_exec(re.get(), std::string(2000, 'a'), ov), 2);
}
