#include "util/cvlog.h"

#include <gtest/gtest.h>

TEST(CvlogTest, UnconfiguredTypesGoToStandardErrorExactlyOrNowhere) {
  testing::internal::CaptureStderr();
  cvlog_send(CVLOG_ERROR, "urllist_add: failed to add url '%s'\n", "x");
  cvlog_send(CVLOG_MESSAGE, "no newline %d", 7);
  cvlog_send(CVLOG_REMOTEADMIN, "|admin|");
  cvlog_send(CVLOG_DEBUG, "debug is dropped\n");
  cvlog_send(9, "unknown type is dropped\n");
  cvlog_send(0, "type 0 is dropped\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist_add: failed to add url 'x'\nno newline 7|admin|");
}

TEST(CvlogTest, SilentModeDropsEverything) {
  testing::internal::CaptureStderr();
  cvlog_set_silent(true);
  cvlog_send(CVLOG_ERROR, "hidden\n");
  cvlog_set_silent(false);
  cvlog_send(CVLOG_ERROR, "shown\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown\n");
}
