#include "storage/memory_load.h"

#include <gtest/gtest.h>

#include "chip/memory_map.h"
#include "test_util.h"

namespace {

// Rule: a load's file is read once, when checked: what is stored is what
// was checked, whatever becomes of the file in between.
TEST(MemoryLoadTest, TheFileIsReadOnceWhenChecked) {
  ScopedTempDir dir;
  const BackingFiles files = backing_files_in(dir.path().string());
  const fs::path file = dir.path() / "cfg.bin";
  for (const std::vector<uint8_t>& after : {std::vector<uint8_t>(10, 0x11), std::vector<uint8_t>{}}) {
    write_bytes(files.eeprom, std::vector<uint8_t>(kEepromSize, 0xFF));
    write_bytes(file, std::vector<uint8_t>(5000, 0x5A));
    Load load = {Memory::kEeprom, 0x100, file.string(), {}, 0};
    ASSERT_EQ("", check_load(&load));
    if (after.empty()) fs::remove(file);  // shrunk, or gone
    else write_bytes(file, after);
    EXPECT_EQ("", load_into(files, load).problem);
    std::vector<uint8_t> want(kEepromSize, 0xFF);
    std::fill(want.begin() + 0x100, want.begin() + 0x100 + 5000, 0x5A);
    EXPECT_EQ(want, read_bytes(files.eeprom));
  }
}

}  // namespace
