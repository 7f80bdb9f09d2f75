// The whole watch over untrusted console output: the texts, patterns and
// test framework a run is judged by, as the launcher feeds them.
// The first byte chooses the framework (or none) and the words; the second
// the size of the pieces. With the third byte's high bit the rest is the
// output as it is; else each byte of it picks a line from a vocabulary of
// the frameworks' lines, fail texts, expects and noise, and how it ends.
//
// Property beyond the sanitizers' own: the verdict is a function of the
// bytes. Read whole, in pieces and a byte at a time, the output gives the
// same decision, the same cause and the same cases.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "run_control/output_watch.h"
#include "run_control/patterns.h"

namespace {

const char* const kLines[] = {
    "boot ok", "PANIC: stack overflow", "exit status=0", "exit status=0x03", "self test: okay",
    "login: ", "error count 0", "[INFO] Temperature OK", "progress 50%\r100%",
    // Unity
    "t.c:1:test_a:PASS", "t.c:2:test_b:FAIL: Expected 1 Was 0", "t.c:3:test_c:IGNORE",
    "2 Tests 1 Failures 0 Ignored", "1 Tests 0 Failures 0 Ignored", "OK", "FAIL",
    "TEST(G, a) PASS", "TEST(G, b)",
    // GoogleTest
    "[==========] Running 2 tests from 1 test suite.", "[ RUN      ] S.a", "[       OK ] S.a (0 ms)",
    "[ RUN      ] S.b", "x.cc:12: Failure", "[  FAILED  ] S.b (0 ms)",
    "[==========] 2 tests from 1 test suite ran. (1 ms total)", "[ RUN      ] S.\xff",
    // CppUTest
    "TEST(G, c) - 0 ms", "TEST(G, d)", "t.cpp:9: error: Failure in TEST(G, d)", " - 1 ms",
    "OK (1 tests, 1 ran, 1 checks, 0 ignored, 0 filtered out, 0 ms)",
    "Errors (1 failures, 2 tests, 2 ran, 2 checks, 0 ignored, 0 filtered out, 1 ms)",
    // TAP
    "1..2", "ok 1 - a", "not ok 2 - ]]> \xff\xfe", "# t.c:4: expected", "not ok 3 # SKIP later",
    "Bail out! no flash",
    // ztest
    "Running TESTSUITE s", "START - t", " PASS - t in 0.001 seconds", " FAIL - t in 0.002 seconds",
    "SUITE PASS - 100.00% [s]: pass = 1, fail = 0, skip = 0, total = 1",
    "PROJECT EXECUTION SUCCESSFUL", "PROJECT EXECUTION FAILED",
};
constexpr size_t kLineCount = sizeof kLines / sizeof kLines[0];
const char* const kEnds[] = {"\n", "\r\n", "\n\r", ""};
const char* const kFormats[] = {"", "unity", "gtest", "cpputest", "tap", "ztest"};

struct Judged {
  bool decided = false;
  RunEnd::Cause cause = RunEnd::Cause::kEndedByItself;
  size_t fail_index = 0, expects_seen = 0;
  std::string cases;
  bool operator==(const Judged& o) const {
    return decided == o.decided && cause == o.cause && fail_index == o.fail_index &&
           expects_seen == o.expects_seen && cases == o.cases;
  }
};

Judged judge(const RunControl& control, const std::string& output, size_t piece) {
  OutputWatch watch(control);
  Judged j;
  auto take = [&] {
    if (!watch.cases()) return;
    for (const CaseResult& c : *watch.cases()->finished())
      j.cases += c.suite + "." + c.name + "@" + c.file + ":" + std::to_string(c.line) + "=" +
                 std::to_string(static_cast<int>(c.outcome)) + c.message + "\n";
    watch.cases()->finished()->clear();
  };
  for (size_t at = 0; at < output.size() && !watch.decided(); at += piece) {
    watch.feed(output.data() + at, std::min(piece, output.size() - at));
    take();
  }
  watch.end_of_output();
  if (watch.cases()) {
    watch.cases()->end_of_output(0);
    take();
    j.cases += watch.cases()->summary_seen() ? "summary " + watch.cases()->disagreement() : "none";
  }
  j.decided = watch.decided();
  j.cause = watch.cause();
  j.fail_index = watch.fail_index();
  j.expects_seen = watch.expects_seen();
  return j;
}

void add(const char* word, std::vector<std::string>* texts,
         std::vector<std::shared_ptr<const Pattern>>* patterns) {
  std::string text = word, error;
  const bool pattern = text.rfind("re:", 0) == 0;
  patterns->push_back(pattern ? Pattern::compile(text.substr(3), &error) : nullptr);
  texts->push_back(pattern ? text.substr(3) : text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kExpects[] = {"boot ok", "re:exit status=0$", "re:self test: ok\\b",
                                         "re:login: ", "re:^OK$"};
  static const char* const kFails[] = {"PANIC", "re:error$", "re:FAIL\\b", "re:^\\[  FAILED"};
  if (size < 3) return 0;
  RunControl control;
  control.cases = kFormats[data[0] % 6];
  const unsigned words = data[0] / 6;
  for (size_t i = 0; i < 5; ++i)
    if (words & (1u << i)) add(kExpects[i], &control.expect, &control.expect_pattern);
  if (words & 0x20) add(kFails[(words >> 3) % 4], &control.fail, &control.fail_pattern);
  if (words & 0x10) add(kFails[0], &control.fail, &control.fail_pattern);
  const size_t piece = 1 + data[1] % 64;
  std::string output;
  if (data[2] & 0x80) {
    output.assign(reinterpret_cast<const char*>(data) + 3, size - 3);
  } else {
    for (size_t i = 3; i < size; ++i) {
      output += kLines[data[i] % kLineCount];
      output += kEnds[(data[i] / kLineCount) % 4];
    }
  }
  const Judged whole = judge(control, output, output.size() + 1);
  FUZZ_CHECK(whole == judge(control, output, piece));
  FUZZ_CHECK(whole == judge(control, output, 1));
  return 0;
}
