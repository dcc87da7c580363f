#include <gtest/gtest.h>

#include "FFmpegException.h"

TEST(Build, ExceptionCarriesMessage) {
  FFMpegException e("boom");
  EXPECT_STREQ(e.what(), "boom");
}
