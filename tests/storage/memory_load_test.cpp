#include "storage/memory_load.h"

#include <gtest/gtest.h>

#include "chip/memory_map.h"
#include "test_util.h"

namespace {

// Rule: a load's file is read once, when it is checked: what is stored is
// what was checked, whatever becomes of the file in between.
TEST(MemoryLoadTest, TheFileIsReadOnceWhenChecked) {
  ScopedTempDir dir;
  const BackingFiles files = backing_files_in(dir.path().string());
  const std::vector<uint8_t> bytes(5000, 0x5A);
  const struct {
    const char* change;
    std::vector<uint8_t> after;  // empty: the file is removed
  } cases[] = {
      {"shrunk", std::vector<uint8_t>(10, 0x11)},
      {"grown", std::vector<uint8_t>(9000, 0x22)},
      {"removed", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    write_bytes(files.eeprom, std::vector<uint8_t>(kEepromSize, 0xFF));
    const fs::path file = dir.path() / "cfg.bin";
    write_bytes(file, bytes);
    Load load;
    load.memory = Memory::kEeprom;
    load.address = 0x100;
    load.path = file.string();
    ASSERT_EQ("", check_load(&load));
    if (c.after.empty()) fs::remove(file);
    else write_bytes(file, c.after);
    const LoadResult r = load_into(files, load);
    EXPECT_EQ("", r.problem);
    EXPECT_EQ(2u, r.chunks);
    std::vector<uint8_t> want(kEepromSize, 0xFF);
    std::copy(bytes.begin(), bytes.end(), want.begin() + 0x100);
    EXPECT_EQ(want, read_bytes(files.eeprom));
    EXPECT_EQ("loaded " + load.path + " into eeprom at 0x0100: 5000 bytes, 2 pieces written",
              loaded_text(load, r));
  }
}

}  // namespace
