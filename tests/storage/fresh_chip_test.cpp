#include "storage/fresh_chip.h"

#include <gtest/gtest.h>

#include <memory>

#include "test_util.h"

namespace {

// Rule: a template's copy is never torn by a launch on it. Without a lock
// file nothing keeps a launch from starting during the copy; a launch makes
// the lock file first, so a copy after which one has appeared is made
// again, under the lock: a launch still running is a chip in use.
TEST(FreshChipTest, ATemplateCopyIsNeverTorn) {
  enum class During { kNothing, kLaunchRan, kLaunchRuns };
  const struct {
    const char* what;
    bool lock_file;  // the template has one from the start
    During during;   // the first copy
    TemplateCopy::Outcome outcome;
    int copies;
  } cases[] = {
      {"never locked, left alone", false, During::kNothing, TemplateCopy::Outcome::kCopied, 2},
      {"locked before, left alone", true, During::kNothing, TemplateCopy::Outcome::kCopied, 2},
      {"a launch came and went", false, During::kLaunchRan, TemplateCopy::Outcome::kCopied, 4},
      {"a launch still runs", false, During::kLaunchRuns, TemplateCopy::Outcome::kInUse, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedTempDir dir;
    const BackingFiles golden = backing_files_in(dir.path().string());
    const BackingFiles fresh = backing_files_in((dir.path() / "fresh").string());
    fs::create_directories(fresh.dir);
    write_text(golden.flash, "flash before");
    write_text(golden.eeprom, "eeprom before");
    if (c.lock_file) write_text(golden.lock, "");
    auto launch = std::make_unique<FileLock>();
    int copies = 0;
    // A launch takes and writes the template between the two files.
    const TemplateCopy copy = copy_chip_template(golden.dir, fresh, [&](const std::string& from, const std::string& to) {
      fs::copy_file(from, to);
      if (++copies == 1 && c.during != During::kNothing) {
        long holder = 0;
        EXPECT_EQ(FileLock::Status::kTaken, launch->take(golden.lock, &holder));
        write_text(golden.flash, "flash after");
        if (c.during == During::kLaunchRan) launch.reset();
      }
      return 0;
    });
    EXPECT_EQ(c.outcome, copy.outcome) << copy.problem;
    EXPECT_EQ(c.copies, copies);
    const bool copied = copy.outcome == TemplateCopy::Outcome::kCopied;
    EXPECT_EQ(copied ? read_text(golden.flash) : "", fs::exists(fresh.flash) ? read_text(fresh.flash) : "");
  }
}

}  // namespace
