#include "run_control/report_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>

#include "test_util.h"

namespace {

enum class Before { kNothing, kLongerFile, kFolder };

// Rule: the path holds the new text whole or, when it cannot, what it held
// before; either way no temporary file stays beside it.
TEST(ReportFileTest, ThePathHoldsTheNewTextWholeOrWhatItHeld) {
  const struct {
    const char* name;
    Before before;
    bool written;
    const char* reason;  // nullptr: the system's own, which differ
  } cases[] = {
      {"report.xml", Before::kNothing, true, nullptr},
      {"report.xml", Before::kLongerFile, true, nullptr},
      {"missing/report.xml", Before::kNothing, false, strerror(ENOENT)},
      {"taken", Before::kFolder, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    const fs::path path = dir.path() / c.name;
    if (c.before == Before::kLongerFile) write_text(path, "<old>a longer report than the new one</old>\n");
    if (c.before == Before::kFolder) fs::create_directories(path / "inside");
    std::string problem;
    EXPECT_EQ(c.written, write_report_file(path.string(), "<new/>\n", &problem));
    const std::string start = "cannot write " + path.string() + ": ";
    if (c.written) {
      EXPECT_EQ("<new/>\n", read_text(path));
    } else {
      EXPECT_EQ(start, problem.substr(0, start.size()));
    }
    if (c.reason) {
      EXPECT_EQ(start + c.reason, problem);
    }
    if (c.before == Before::kFolder) {
      EXPECT_TRUE(fs::is_directory(path / "inside"));
    }
    const bool stands = c.written || c.before != Before::kNothing;
    EXPECT_EQ(stands ? 1 : 0, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
  }
}

}  // namespace
