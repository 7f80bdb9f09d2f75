// Cases run by cmocka: one passes, one fails, one is skipped; with the
// word "pass", only the first.
#include <cstdarg>
#include <cstddef>
#include <csetjmp>
#include <cstdint>
#include <cstring>
// cmocka's header needs the four above first, and declares C functions
// without saying so.
extern "C" {
#include <cmocka.h>
}

static void test_add(void**) { assert_int_equal(2, 1 + 1); }
static void test_sub(void**) { assert_int_equal(5, 4); }
static void test_io(void**) { skip(); }

int main(int argc, char** argv) {
  const struct CMUnitTest all[] = {cmocka_unit_test(test_add), cmocka_unit_test(test_sub),
                                   cmocka_unit_test(test_io)};
  const struct CMUnitTest passing[] = {cmocka_unit_test(test_add)};
  if (argc > 1 && strcmp(argv[1], "pass") == 0)
    return cmocka_run_group_tests_name("arith", passing, nullptr, nullptr);
  return cmocka_run_group_tests_name("arith", all, nullptr, nullptr);
}
