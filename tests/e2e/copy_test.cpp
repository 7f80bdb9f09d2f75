// A firmware image file named on the command line, as it reaches flash.
#include <chrono>

#include "e2e/harness.h"

namespace {

constexpr size_t kFlashSize = 256 * 1024;
constexpr size_t kHeaderSize = 64;

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<uint32_t>(bytes[at + 3]) << 24;
}

class CopyTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    flash_ = bin_dir_ / "zelk.iflash";
    erased_.assign(kFlashSize, 0xFF);
    // Big enough for the sample project's images, which sit below 256 KiB.
    write_bytes(flash_, erased_);
    write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  }

  fs::path flash_;
  std::vector<uint8_t> erased_;
};

TEST_F(CopyTest, SampleProjectImagesReachFlash) {
  const fs::path project = work_dir_ / "blinky";
  fs::create_directories(project / "build");
  const fs::path sample = fs::path(ZELK_EXAMPLES) / "blinky" / "build";
  fs::copy_file(sample / "blinky.elf", project / "build" / "blinky.elf");
  fs::copy_file(sample / "blinky.fls", project / "build" / "blinky.fls");
  const std::vector<uint8_t> fls = read_bytes(sample / "blinky.fls");

  RunOptions options;
  options.cwd = project;
  RunResult r = run({"-prj", "-nographic"}, options);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(standin_ran());
  EXPECT_EQ(std::string::npos, r.out.find("image")) << r.out;

  // Every header and its data, where the header says, and nothing else.
  std::vector<uint8_t> want = erased_;
  size_t images = 0;
  for (size_t at = 0; at + kHeaderSize <= fls.size(); ++images) {
    const uint32_t addr = le32(fls, at + 8), length = le32(fls, at + 12),
                   header_addr = le32(fls, at + 16);
    ASSERT_EQ(0xA0FFFF9Fu, le32(fls, at));
    ASSERT_LE(at + kHeaderSize + length, fls.size());
    ASSERT_LE((addr & 0x07FFFFFFu) + length, kFlashSize);
    ASSERT_LE((header_addr & 0x07FFFFFFu) + kHeaderSize, kFlashSize);
    std::copy(fls.begin() + static_cast<std::ptrdiff_t>(at),
              fls.begin() + static_cast<std::ptrdiff_t>(at + kHeaderSize),
              want.begin() + (header_addr & 0x07FFFFFF));
    std::copy(fls.begin() + static_cast<std::ptrdiff_t>(at + kHeaderSize),
              fls.begin() + static_cast<std::ptrdiff_t>(at + kHeaderSize + length),
              want.begin() + (addr & 0x07FFFFFF));
    at += kHeaderSize + length;
  }
  EXPECT_EQ(2u, images);
  EXPECT_TRUE(want == read_bytes(flash_));

  // Launched again, the project finds its images in place.
  fs::last_write_time(flash_, fs::last_write_time(flash_) - std::chrono::hours(24 * 400));
  const fs::file_time_type aged = fs::last_write_time(flash_);
  r = run({"-prj", "-nographic"}, options);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(aged, fs::last_write_time(flash_));
  EXPECT_TRUE(want == read_bytes(flash_));
}

TEST_F(CopyTest, FaultsInTheImageFileAreReportedOnStdoutAndTheLaunchGoesOn) {
  add_fixture_elf("blink", "app.elf");
  std::vector<uint8_t> past_end(kHeaderSize, 0xFF);
  // An image of 0x100 bytes at the last 0x80 bytes of flash.
  const uint8_t fields[] = {0x9F, 0xFF, 0xFF, 0xA0, 0, 0, 0, 0,
                            0x80, 0xFF, 0xFF, 0x0F, 0x00, 0x01, 0, 0};
  std::copy(std::begin(fields), std::end(fields), past_end.begin());
  past_end.resize(kHeaderSize + 0x100, 0x5A);
  const struct {
    const char* name;
    std::vector<uint8_t> fls;
    std::vector<std::string> says;
  } cases[] = {
      {"zeros.fls", std::vector<uint8_t>(128, 0x00), {"image magic error"}},
      {"past_end.fls", past_end, {"0x0fffff80", "256"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(work_dir_ / c.name, c.fls);
    RunResult r = run({"-elf", "app.elf", "-nographic", "-img", c.name});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(standin_ran());
    // The launcher's line comes before anything the simulator prints.
    const std::string first = split_lines(r.out).empty() ? "" : split_lines(r.out).front();
    std::string lower = first;
    for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    for (const std::string& word : c.says)
      EXPECT_NE(std::string::npos, lower.find(word)) << r.out;
    EXPECT_TRUE(erased_ == read_bytes(flash_));
  }

  // A missing image file is no fault worth a word.
  RunResult r = run({"-elf", "app.elf", "-nographic", "-img", "missing.fls"});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(standin_ran());
  EXPECT_EQ(0u, r.out.find("stand-in")) << r.out;
  EXPECT_TRUE(erased_ == read_bytes(flash_));
}

}  // namespace
