// The string list: entries in order, long strings in blocks of their own, range errors.

#include "string_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

TEST(StringList, AddGetDeleteAndClear) {
  auto list = string_list_initialize_size(10, 2);  // block size clamped up to 50
  EXPECT_EQ(list->block_size, 50u);
  EXPECT_EQ(list->step, 5u);
  std::string long_name(300, 'x');
  const char* text = "abcdef";
  ASSERT_EQ(string_list_add(list.get(), "one"), 0);
  ASSERT_EQ(string_list_add(list.get(), text, text + 3), 0);
  ASSERT_EQ(string_list_add(list.get(), long_name.c_str()), 0);
  ASSERT_EQ(string_list_add_v(list.get(), "H", "host.test", static_cast<const char*>(nullptr)), 0);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(string_list_add(list.get(), "filler-name"), 0);
  ASSERT_EQ(string_list_get_size(list.get()), 44u);
  EXPECT_STREQ(string_list_get_str(list.get(), 0), "one");
  EXPECT_STREQ(string_list_get_str(list.get(), 1), "abc");
  EXPECT_EQ(string_list_get_str(list.get(), 2), long_name);
  EXPECT_STREQ(string_list_get_str(list.get(), 3), "Hhost.test");
  EXPECT_STREQ(string_list_get_str(list.get(), 43), "filler-name");
  errno = 0;
  EXPECT_EQ(string_list_get_str(list.get(), 44), nullptr);
  EXPECT_EQ(errno, ENOENT);

  ASSERT_EQ(string_list_del_str(list.get(), 1), 0);
  EXPECT_STREQ(string_list_get_str(list.get(), 1), long_name.c_str());
  EXPECT_EQ(string_list_get_size(list.get()), 43u);
  errno = 0;
  EXPECT_EQ(string_list_del_str(list.get(), 43), -1);
  EXPECT_EQ(errno, ENOENT);

  string_list_clear(list.get());
  EXPECT_EQ(string_list_get_size(list.get()), 0u);
  ASSERT_EQ(string_list_add(list.get(), "again"), 0);
  EXPECT_STREQ(string_list_get_str(list.get(), 0), "again");
  string_list_destroy(std::move(list));

  string_list own;
  string_list_initialize(&own, 1000, 100);  // 100100 bytes clamped to 10000, step to 200
  EXPECT_EQ(own.block_size, 10000u);
  EXPECT_EQ(own.step, 200u);
}
