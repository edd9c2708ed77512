#include "util/category_set.h"

#include <gtest/gtest.h>

TEST(CategorySetTest, KeepsAscendingOrderWithoutDuplicatesAndGrowsByTen) {
  category_set s;
  EXPECT_EQ(s.capacity(), 10u);
  EXPECT_TRUE(s.add(30));
  EXPECT_TRUE(s.add(4));
  EXPECT_FALSE(s.add(30));
  EXPECT_TRUE(s.add(4294967295u));
  EXPECT_TRUE(s.add(0));
  EXPECT_EQ(s.to_string(), "0,4,30,4294967295");
  for (uint32_t n = 100; n < 107; ++n) s.add(n);
  EXPECT_EQ(s.count(), 11u);
  EXPECT_EQ(s.capacity(), 20u);
  s.clear();
  EXPECT_EQ(s.count(), 0u);
  EXPECT_EQ(s.capacity(), 10u);
  EXPECT_EQ(s.to_string(), "");
}

TEST(CategorySetTest, RemoveContainsIntersectAndUnion) {
  category_set a, b;
  for (uint32_t n : {1, 5, 9}) a.add(n);
  for (uint32_t n : {2, 6, 9}) b.add(n);
  EXPECT_TRUE(a.intersects(b));
  EXPECT_TRUE(a.remove(9));
  EXPECT_FALSE(a.remove(9));
  EXPECT_FALSE(a.intersects(b));
  EXPECT_TRUE(a.contains(5));
  EXPECT_FALSE(a.contains(9));
  a.add_all(b);
  EXPECT_EQ(a.to_string(), "1,2,5,6,9");
  category_set c(25);
  EXPECT_GE(c.capacity(), 25u);
  for (uint32_t n : {9, 6, 5, 2, 1}) c.add(n);
  EXPECT_EQ(a, c);
}
