// Cases run by CppUTest: one passes, one fails, one is ignored.
#include <CppUTest/CommandLineTestRunner.h>
#include <CppUTest/TestHarness.h>

#include <cstdio>

TEST_GROUP(Flash){};
TEST(Flash, Erase) { CHECK(true); }
TEST(Flash, Write) {
  printf("log: writing");
  LONGS_EQUAL(5, 4);
}
IGNORE_TEST(Flash, Later) {}

int main(int argc, char** argv) { return CommandLineTestRunner::RunAllTests(argc, argv); }
