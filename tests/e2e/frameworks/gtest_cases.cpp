// Cases run by GoogleTest, as a firmware's would be: one passes, one
// fails with a message, one is skipped.
#include <gtest/gtest.h>

#include <cstdio>

TEST(Checksum, OfEmpty) { EXPECT_EQ(0, 0); }
TEST(Checksum, OfHeader) {
  printf("log: sensor reads 17\n");
  EXPECT_EQ(5, 4) << "header sum";
}
TEST(Checksum, OfFlash) { GTEST_SKIP() << "no flash"; }
