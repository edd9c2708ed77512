#include "util/intarray.h"

#include <gtest/gtest.h>

#include <climits>

TEST(IntarrayTest, CreateChecksItsSizes) {
  EXPECT_EQ(intarray_create(0, 5, 1), nullptr);
  EXPECT_EQ(intarray_create(6, 5, 1), nullptr);
  EXPECT_EQ(intarray_create(1, 5, -1), nullptr);
  auto a = intarray_create(5, 5, 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->size(), 5);
  for (int i = 0; i < 5; i++) EXPECT_EQ(intarray_get(a.get(), i), nullptr);
}

TEST(IntarrayTest, InsertGetDelete) {
  int x = 1, y = 2;
  auto a = intarray_create(2, 10, 3);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(intarray_insert(a.get(), 1, &x), 0);
  EXPECT_EQ(intarray_insert(a.get(), 1, &y), 1) << "occupied slot";
  EXPECT_EQ(intarray_get(a.get(), 1), &x);
  EXPECT_EQ(intarray_get(a.get(), 2), nullptr) << "index equal to size";
  EXPECT_EQ(intarray_get(a.get(), -1), nullptr);
  EXPECT_EQ(intarray_delete(a.get(), 1), &x);
  EXPECT_EQ(intarray_get(a.get(), 1), nullptr);
  EXPECT_EQ(intarray_delete(a.get(), 1), nullptr);
  EXPECT_EQ(intarray_delete(a.get(), 2), nullptr);
  EXPECT_EQ(intarray_delete(a.get(), -3), nullptr);
  EXPECT_EQ(intarray_insert(a.get(), -1, &x), 1);
  EXPECT_EQ(intarray_insert(nullptr, 0, &x), 1);
  EXPECT_EQ(intarray_get(nullptr, 0), nullptr);
  intarray_destroy(std::move(a));
  intarray_destroy(nullptr);
}

TEST(IntarrayTest, GrowsOneStepPerInsertUpToTheMaximum) {
  int x = 0;
  auto a = intarray_create(2, 10, 3);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(intarray_insert(a.get(), 2, &x), 0);
  EXPECT_EQ(a->size(), 5);
  EXPECT_EQ(intarray_get(a.get(), 2), &x);
  EXPECT_EQ(intarray_get(a.get(), 3), nullptr) << "added slots are cleared";
  EXPECT_EQ(intarray_insert(a.get(), 9, &x), 1) << "one step (to 8) does not cover 9";
  EXPECT_EQ(a->size(), 8) << "the growth stays even though the insert failed";
  EXPECT_EQ(intarray_insert(a.get(), 9, &x), 0);
  EXPECT_EQ(a->size(), 10);
  EXPECT_EQ(intarray_insert(a.get(), 10, &x), 1) << "equal to the maximum: no slot left";
  EXPECT_EQ(intarray_insert(a.get(), 11, &x), 1);
  EXPECT_EQ(a->size(), 10);
}

TEST(IntarrayTest, StepZeroGrowsStraightToTheMaximum) {
  int x = 0;
  auto a = intarray_create(1, 1000, 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(intarray_insert(a.get(), 999, &x), 0);
  EXPECT_EQ(a->size(), 1000);
  auto b = intarray_create(1, 4, INT_MAX);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(intarray_insert(b.get(), 3, &x), 0) << "a huge step is capped, not wrapped";
  EXPECT_EQ(b->size(), 4);
}
