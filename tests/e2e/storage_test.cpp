// The flash and EEPROM backing files as a launch leaves them.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "e2e/harness.h"
#include "storage/fls_format.h"

namespace {

constexpr uint64_t kFlashSize = 134217728;
constexpr uint64_t kEepromSize = 32768;
constexpr uint64_t kBlock = 4096;

// The first 8 KiB of a new flash file: erased but for these bytes.
std::vector<uint8_t> factory_block() {
  std::vector<uint8_t> block(8192, 0xFF);
  const std::vector<std::pair<size_t, std::vector<uint8_t>>> set = {
      {0x00, {0x9F, 0xFF, 0xFF, 0xA0, 0xF5, 0xFA, 0x70, 0x8B, 0x28, 0x6D, 0xCE,
              0x32, 0xA8, 0x1B, 0x01, 0x00}},
      {0x10, {0x28, 0x6D, 0xCE, 0x37, 0x3B, 0xFB, 0x34, 0x00, 0xB6, 0xF7, 0x00,
              0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
      {0x20, {0x00, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x39, 0xE0, 0xFF,
              0x01, 0xFF, 0xFF, 0xFF, 0xFF}},
      {0x84, {0x4B, 0xA4, 0x90, 0x14}},
  };
  for (const auto& [offset, bytes] : set)
    std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(offset));
  return block;
}

// Where |path| first differs from |size| bytes that are |prefix| and then
// 0xFF; -1 when it does not. Read in large pieces, as the flash file is
// 128 MiB.
int64_t first_difference(const fs::path& path, const std::vector<uint8_t>& prefix,
                         uint64_t size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> piece(1 << 20);
  std::vector<uint8_t> want(piece.size());
  uint64_t at = 0;
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    memset(want.data(), 0xFF, got);
    if (at < prefix.size())
      memcpy(want.data(), prefix.data() + at, std::min(got, prefix.size() - static_cast<size_t>(at)));
    if (at + got > size || memcmp(piece.data(), want.data(), got) != 0) {
      const auto mismatch =
          std::mismatch(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(got),
                        reinterpret_cast<const uint8_t*>(piece.data()));
      return static_cast<int64_t>(
          std::min(size, at + static_cast<uint64_t>(mismatch.first - want.begin())));
    }
    at += got;
  }
  return at == size ? -1 : static_cast<int64_t>(at);
}

// Puts a file's time well into the past, so that any write shows; returns
// the time as the file system keeps it.
fs::file_time_type age(const fs::path& path) {
  fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(24 * 400));
  return fs::last_write_time(path);
}

std::vector<uint8_t> bytes_of(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class BackingFilesTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    add_fixture_elf("blink", "app.elf");
    flash_ = bin_dir_ / "zelk.iflash";
    eeprom_ = bin_dir_ / "zelk.eeprom";
  }

  RunResult launch(const RunOptions& options = {}) {
    RunResult r = run({"-elf", "app.elf", "-nographic"}, options);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(standin_ran()) << r.out << r.err;
    return r;
  }

  // The two backing-file arguments the simulator received, empty when
  // either is missing.
  std::vector<std::string> named_files() const {
    std::vector<std::string> named;
    for (const std::string& arg : recorded_args())
      for (const char* key : {"zelk_iflash.flash=", "zelk_i2c.eeprom="})
        if (arg.rfind(key, 0) == 0) named.push_back(arg.substr(strlen(key)));
    return named;
  }
  std::vector<std::string> files_beside_launcher() const {
    return {target_path(bin_dir_) + sep() + "zelk.iflash",
            target_path(bin_dir_) + sep() + "zelk.eeprom"};
  }

  static size_t count_lines_starting(const std::string& text, const std::string& start) {
    const std::vector<std::string> lines = split_lines(text);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.rfind(start, 0) == 0;
    }));
  }

  fs::path flash_, eeprom_;
};

TEST_F(BackingFilesTest, FirstLaunchCreatesThemAndLaterLaunchesLeaveThemAlone) {
  RunResult r = launch();
  EXPECT_EQ(0u, count_lines_starting(r.err, "fwrite")) << r.err;
  EXPECT_EQ(files_beside_launcher(), named_files());
  ASSERT_EQ(kFlashSize, fs::file_size(flash_));
  ASSERT_EQ(kEepromSize, fs::file_size(eeprom_));
  EXPECT_EQ(-1, first_difference(flash_, factory_block(), kFlashSize));
  EXPECT_EQ(-1, first_difference(eeprom_, {}, kEepromSize));
  EXPECT_FALSE(fs::exists(work_dir_ / "zelk.iflash"));
  EXPECT_FALSE(fs::exists(work_dir_ / "zelk.eeprom"));

  // What the simulator stored in them since is kept.
  {
    std::fstream f(flash_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(kFlashSize - 1));
    f.put('\0');
  }
  write_bytes(eeprom_, std::vector<uint8_t>(kEepromSize, 0x11));
  const fs::file_time_type flash_time = age(flash_), eeprom_time = age(eeprom_);
  launch();
  EXPECT_EQ(flash_time, fs::last_write_time(flash_));
  EXPECT_EQ(eeprom_time, fs::last_write_time(eeprom_));
  EXPECT_EQ(static_cast<int64_t>(kFlashSize - 1),
            first_difference(flash_, factory_block(), kFlashSize));
  EXPECT_EQ(kFlashSize, fs::file_size(flash_));
  EXPECT_EQ(std::vector<uint8_t>(kEepromSize, 0x11), read_bytes(eeprom_));
}

TEST_F(BackingFilesTest, ExistingFilesOfAnySizeAreTakenAsTheyAre) {
  const std::vector<uint8_t> flash = bytes_of("not a flash image");
  write_bytes(flash_, flash);
  write_bytes(eeprom_, {});
  const fs::file_time_type flash_time = age(flash_), eeprom_time = age(eeprom_);
  launch();
  EXPECT_EQ(files_beside_launcher(), named_files());
  EXPECT_EQ(flash, read_bytes(flash_));
  EXPECT_EQ(0u, fs::file_size(eeprom_));
  EXPECT_EQ(flash_time, fs::last_write_time(flash_));
  EXPECT_EQ(eeprom_time, fs::last_write_time(eeprom_));
}

TEST_F(BackingFilesTest, TheyBelongBesideTheExecutableWhereverItIsStartedFrom) {
  // Files of those names in the current folder are someone else's.
  write_bytes(flash_, std::vector<uint8_t>(kBlock, 0xFF));
  write_bytes(work_dir_ / "zelk.iflash", bytes_of("decoy"));
  const fs::path elsewhere = root_.path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::copy_file(work_dir_ / "app.elf", elsewhere / "app.elf");

  RunOptions from_work;
  // Word 0 tells nothing of where the executable is.
  if (!windows()) from_work.word0 = "zelk_sim";
  launch(from_work);
  EXPECT_EQ(files_beside_launcher(), named_files());
  EXPECT_EQ(-1, first_difference(eeprom_, {}, kEepromSize));
  EXPECT_FALSE(fs::exists(work_dir_ / "zelk.eeprom"));
  EXPECT_EQ(bytes_of("decoy"), read_bytes(work_dir_ / "zelk.iflash"));

  RunOptions from_elsewhere;
  from_elsewhere.cwd = elsewhere;
  launch(from_elsewhere);
  EXPECT_EQ(files_beside_launcher(), named_files());
  EXPECT_EQ(std::vector<uint8_t>(kBlock, 0xFF), read_bytes(flash_));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(elsewhere), {}));
}

// A folder in the way of a backing file is left as it is, and the launch
// that would need the file is refused.
TEST_F(BackingFilesTest, FoldersInTheWayAreKeptAndRefused) {
  fs::create_directory(flash_);
  RunResult r = run({"-elf", "app.elf", "-nographic"});
  EXPECT_EQ(2, r.status);
  EXPECT_FALSE(standin_ran());
  EXPECT_TRUE(fs::is_directory(flash_));
  EXPECT_TRUE(fs::is_empty(flash_));
  EXPECT_EQ(-1, first_difference(eeprom_, {}, kEepromSize));
  EXPECT_EQ(0u, count_lines_starting(r.err, "fwrite")) << r.err;

  fs::remove(eeprom_);
  fs::create_directory(eeprom_);
  r = run({"-elf", "app.elf", "-nographic"});
  EXPECT_EQ(2, r.status);
  EXPECT_TRUE(fs::is_empty(flash_));
  EXPECT_TRUE(fs::is_empty(eeprom_));
  EXPECT_EQ(0u, count_lines_starting(r.err, "fwrite")) << r.err;
}

TEST_F(BackingFilesTest, AFileThatCannotBeWrittenWholeIsNotCreatedUntilItCan) {
  if (windows()) GTEST_SKIP() << "a file size limit that cuts writes short exists only natively";
  // The limit ends the flash file 100 bytes into block 256, so blocks 256
  // to 32767 are short; the EEPROM file fits.
  RunOptions limited;
  limited.file_size_limit = 256 * kBlock + 100;
  RunResult r = run({"-elf", "app.elf", "-nographic"}, limited);
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(32768u - 256, count_lines_starting(r.err, "fwrite: ")) << r.err.substr(0, 200);
  // The simulator is not started on a chip without its flash.
  const std::vector<std::string> lines = split_lines(r.err);
  ASSERT_EQ(32768u - 256 + 1, lines.size());
  EXPECT_EQ("zelk_sim: cannot create " + flash_.string() + ": " + strerror(EFBIG), lines.back());
  EXPECT_FALSE(standin_ran());
  EXPECT_FALSE(fs::exists(flash_));
  EXPECT_EQ(-1, first_difference(eeprom_, {}, kEepromSize));

  // The next launch tries again.
  r = launch();
  EXPECT_EQ("", r.err);
  EXPECT_EQ(-1, first_difference(flash_, factory_block(), kFlashSize));
  // Nothing but the two programs, the backing files and the lock.
  EXPECT_EQ(5, std::distance(fs::directory_iterator(bin_dir_), {}));
}

// zelk_flash erase gives each backing file a new chip's contents in place,
// keeping its size, and creates a missing one as a launch does.
TEST_F(BackingFilesTest, EraseGivesBackANewChip) {
  write_bytes(flash_, std::vector<uint8_t>(3 * kBlock + 5, 0x00));
  write_bytes(eeprom_, std::vector<uint8_t>(100, 0x11));
  RunResult r = run_flash_tool({"erase", "flash"});
  EXPECT_EQ(0, r.status) << r.err;
  std::vector<uint8_t> want = factory_block();
  want.resize(3 * kBlock + 5, 0xFF);
  EXPECT_EQ(want, read_bytes(flash_));
  EXPECT_EQ(std::vector<uint8_t>(100, 0x11), read_bytes(eeprom_));

  fs::remove(flash_);
  r = run_flash_tool({"erase", "all"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(-1, first_difference(flash_, factory_block(), kFlashSize));
  EXPECT_EQ(std::vector<uint8_t>(100, 0xFF), read_bytes(eeprom_));
}

// One launch at a time owns the chip: while a launch's simulator runs, a
// second launch, zelk_flash write or erase writes, converts and starts
// nothing and says which process holds the chip, while help and version
// still answer. The lock goes with
// the process that held it, however that ends.
TEST_F(BackingFilesTest, OneLaunchAtATimeOwnsTheChip) {
  write_bytes(flash_, std::vector<uint8_t>(256 * 1024, 0xFF));
  write_bytes(eeprom_, std::vector<uint8_t>(64, 0xFF));
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", work_dir_ / "app.fls");
  const std::vector<std::string> words = {"-elf", "app.elf", "-img", "app.fls", "-nographic"};
  RunOptions holding;
  holding.env["ZELK_STANDIN_HOLD_MS"] = "3000";

  Started first = start({"-elf", "app.elf", "-nographic"}, holding);
  ASSERT_TRUE(wait_for_output(&first, "holding"));
  const size_t raw_images = static_cast<size_t>(std::distance(fs::directory_iterator(tmp_dir_), {}));
  RunResult second = run(words);
  EXPECT_EQ(1, second.status);
  EXPECT_EQ("", second.out);
  const std::string in_use = "the chip in " + target_path(bin_dir_) + " is in use by process ";
  const std::string hint = "; for a chip of this run's own, give --fresh-chip or --chip-dir\n";
  EXPECT_EQ(0u, second.err.find("zelk_sim: " + in_use)) << second.err;
  const std::string holder = second.err.substr(10 + in_use.size(), second.err.size() - hint.size() - 10 - in_use.size());
  EXPECT_EQ("zelk_sim: " + in_use + holder + hint, second.err);
  if (!windows()) {
    EXPECT_EQ(std::to_string(first.pid), holder);
  }
  // Watched, another's run is a setup problem, not a verdict.
  EXPECT_EQ(2, run({"-elf", "app.elf", "-nographic", "--status"}).status);
  EXPECT_FALSE(standin_ran());
  EXPECT_EQ(std::vector<uint8_t>(256 * 1024, 0xFF), read_bytes(flash_));
  EXPECT_EQ(raw_images, static_cast<size_t>(std::distance(fs::directory_iterator(tmp_dir_), {})));
  EXPECT_EQ(0, run({"-v"}).status);
  // zelk_flash changes nothing under a running launch, but may look.
  for (const std::vector<std::string>& change : {std::vector<std::string>{"write", "app.fls"},
                                                 std::vector<std::string>{"erase", "all"}}) {
    RunResult refused = run_flash_tool(change);
    EXPECT_EQ(2, refused.status);
    EXPECT_EQ("zelk_flash: " + in_use + holder + "\n", refused.err);
  }
  EXPECT_EQ(std::vector<uint8_t>(256 * 1024, 0xFF), read_bytes(flash_));
  EXPECT_EQ(1, run_flash_tool({"diff", "app.fls"}).status);
  EXPECT_EQ(0, finish(first).status);

  // A launcher killed takes its simulator with it, and only then is the
  // chip free for the next launch.
  Started killed = start({"-elf", "app.elf", "-nographic"}, holding);
  ASSERT_TRUE(wait_for_output(&killed, "holding"));
  kill_launcher(killed);
  finish(killed);
  RunResult after;
  for (int tries = 0; tries < 100; ++tries) {
    after = run(words);
    if (after.status != 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(0, after.status) << after.err;
  EXPECT_TRUE(standin_ran()) << after.err;
  EXPECT_NE(std::vector<uint8_t>(256 * 1024, 0xFF), read_bytes(flash_));
  EXPECT_TRUE(processes_naming(target_path(bin_dir_ / "zelk.iflash")).empty());
  EXPECT_EQ(std::string::npos, read_text(killed.out).find("released")) << "the simulator outlived it";

  // Launches at once on a used chip: a refused one names the launch that
  // won, never a holder gone before.
  if (windows()) return;
  holding.env["ZELK_STANDIN_HOLD_MS"] = "300";
  std::vector<Started> rivals;
  for (int i = 0; i < 12; ++i) rivals.push_back(start({"-elf", "app.elf", "-nographic"}, holding));
  std::set<std::string> winners;
  std::vector<std::string> named;
  for (const Started& rival : rivals) {
    const RunResult r = finish(rival);
    if (r.status == 0) winners.insert(std::to_string(rival.pid));
    const size_t from = 10 + in_use.size();
    if (r.status == 1) named.push_back(r.err.substr(from, r.err.size() - from - hint.size()));
  }
  for (const std::string& pid : named) EXPECT_EQ(1u, winners.count(pid)) << pid;
}

// Rule: --chip-dir, or else ZELK_CHIP_DIR, names the folder the chip is
// kept in, taken whole from the current folder; one that is empty, missing
// or not a folder is status 2 with one line, and nothing is created or
// started anywhere: an unset variable in a script never falls back to the
// chip beside the launcher.
TEST_F(BackingFilesTest, ChipFolderOfTheUsersChoosing) {
  fs::create_directories(work_dir_ / "chip");
  write_text(work_dir_ / "file", "");
  const std::string missing = target_path(work_dir_ / "missing");
  const struct {
    std::vector<std::string> words;
    std::optional<std::string> variable;
    std::string err;  // empty: the launch runs on the chip in work/chip
  } cases[] = {
      {{"--chip-dir", ""}, std::nullopt, "zelk_sim: --chip-dir needs a folder\n"},
      {{"--chip-dir", missing}, std::nullopt,
       "zelk_sim: --chip-dir " + missing + ": No such file or directory\n"},
      {{"--chip-dir", "file"}, std::nullopt, "zelk_sim: --chip-dir file: Not a directory\n"},
      {{}, "", "zelk_sim: ZELK_CHIP_DIR needs a folder\n"},
      {{}, "file", "zelk_sim: ZELK_CHIP_DIR file: Not a directory\n"},
      {{"--chip-dir", "chip"}, missing, ""},
      {{}, "chip", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> words = {"-elf", "app.elf", "-nographic"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunOptions options;
    if (c.variable) options.env["ZELK_CHIP_DIR"] = *c.variable;
    RunResult r = run(words, options);
    EXPECT_EQ(c.err.empty() ? 0 : 2, r.status);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(!c.err.empty(), r.out.empty());
    EXPECT_EQ(c.err.empty(), standin_ran());
    if (c.err.empty()) {
      const std::string chip = target_path(work_dir_ / "chip") + sep();
      EXPECT_EQ((std::vector<std::string>{chip + "zelk.iflash", chip + "zelk.eeprom"}), named_files());
      EXPECT_EQ(kFlashSize, fs::file_size(work_dir_ / "chip" / "zelk.iflash"));
      fs::remove(work_dir_ / "chip" / "zelk.iflash");
    }
  }
  EXPECT_EQ(2, std::distance(fs::directory_iterator(bin_dir_), {})) << "only the programs";
}

// Rule: launches with chip folders of their own run side by side from one
// installation, each writing only its own chip: every one runs while the
// others hold theirs, and each flash holds exactly its own firmware.
TEST_F(BackingFilesTest, ChipsSideBySide) {
  const int count = windows() ? 2 : 8;
  constexpr uint32_t kData = 0x08010000;
  std::vector<Started> runs;
  for (int i = 0; i < count; ++i) {
    const fs::path chip = work_dir_ / ("chip " + std::to_string(i));
    fs::create_directories(chip);
    write_bytes(chip / "zelk.iflash", std::vector<uint8_t>(256 * 1024, 0xFF));
    write_bytes(chip / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
    write_bytes(work_dir_ / ("fw" + std::to_string(i) + ".bin"),
                std::vector<uint8_t>(4096, static_cast<uint8_t>(i)));
    const std::string fls = "fw" + std::to_string(i) + ".fls";
    ASSERT_EQ(0, run_flash_tool({"pack", "-o", fls, "0x08010000=fw" + std::to_string(i) + ".bin"}).status);
    RunOptions options;
    options.env["ZELK_STANDIN_HOLD_MS"] = "1500";
    std::vector<std::string> words = {"-elf", "app.elf", "-img", fls, "-nographic"};
    // Half name the folder by the word, half by the variable.
    if (i % 2) options.env["ZELK_CHIP_DIR"] = "chip " + std::to_string(i);
    else words.insert(words.end(), {"--chip-dir", "chip " + std::to_string(i)});
    runs.push_back(start(words, options));
  }
  for (Started& started : runs) EXPECT_TRUE(wait_for_output(&started, "holding"));
  // All of them hold their chips at once.
  for (Started& started : runs) EXPECT_EQ(std::string::npos, read_text(started.out).find("released"));
  for (int i = 0; i < count; ++i) {
    RunResult r = finish(runs[static_cast<size_t>(i)]);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    std::vector<uint8_t> want(256 * 1024, 0xFF);
    const ImageHeader h = make_image_header(kData, kData - 64, std::vector<uint8_t>(4096, static_cast<uint8_t>(i)).data(),
                                            4096, "fw" + std::to_string(i) + ".bin");
    std::copy(h.bytes, h.bytes + 64, want.begin() + 0x10000 - 64);
    std::fill(want.begin() + 0x10000, want.begin() + 0x11000, static_cast<uint8_t>(i));
    EXPECT_EQ(want, read_bytes(work_dir_ / ("chip " + std::to_string(i)) / "zelk.iflash")) << i;
    // zelk_flash sees the chip the variable names, as the launcher does.
    RunOptions chip;
    chip.env["ZELK_CHIP_DIR"] = "chip " + std::to_string(i);
    EXPECT_EQ("flash already holds fw" + std::to_string(i) + ".fls\n",
              run_flash_tool({"diff", "fw" + std::to_string(i) + ".fls"}, chip).out);
  }
  EXPECT_EQ(2, std::distance(fs::directory_iterator(bin_dir_), {})) << "only the programs";
}

// Rule: a load's file is read to its end, whatever it is: a pipe or a
// process substitution gives its bytes, and one that goes on past the
// memory's end (a device that never ends) is refused with 2.
TEST_F(BackingFilesTest, LoadsReadPipesToTheirEnd) {
  if (windows()) GTEST_SKIP() << "bash's process substitution starts the program natively";
  write_bytes(flash_, std::vector<uint8_t>(64 * 1024, 0xFF));
  write_bytes(eeprom_, std::vector<uint8_t>(kEepromSize, 0xFF));
  ASSERT_EQ(0, mkfifo((work_dir_ / "fifo").c_str(), 0600));
  const struct {
    bool flash_tool;
    std::string words;  // bash words after the program's
    std::string err;    // empty: loaded
  } cases[] = {
      {true, "load eeprom 0x10 <(printf 'from a pipe')", ""},
      {false, "-elf app.elf -nographic --load eeprom:0x30=<(printf 'a launch pipe')", ""},
      // A writer that comes after the FIFO was opened (and gives up if no one reads).
      {true, "load eeprom 0x50 fifo & sleep 0.3; timeout 10 sh -c \"printf 'a late writer' >fifo\"; wait $!", ""},
      {true, "load eeprom 0x7ff0 <(head -c 17 /dev/zero)",
       "zelk_flash: /dev/fd/63: more than 16 bytes at 0x7ff0 reach past the end of eeprom, 0x8000\n"},
      {false, "-elf app.elf --load eeprom:0=/dev/zero",
       "zelk_sim: --load: /dev/zero: more than 32768 bytes at 0x0000 reach past the end of eeprom, 0x8000\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words);
    RunOptions options;
    options.flash_tool = c.flash_tool;
    options.wrapper = {"bash", "-c", "exec \"$0\" " + c.words};
    const RunResult r = run({}, options);
    EXPECT_EQ(c.err.empty() ? 0 : 2, r.status) << r.err;
    EXPECT_EQ(c.err, c.err.empty() ? "" : r.err);
  }
  std::vector<uint8_t> want(kEepromSize, 0xFF);
  for (const auto& [at, text] : {std::make_pair(0x10, std::string("from a pipe")),
                                 std::make_pair(0x30, std::string("a launch pipe")),
                                 std::make_pair(0x50, std::string("a late writer"))})
    std::copy(text.begin(), text.end(), want.begin() + at);
  EXPECT_EQ(want, read_bytes(eeprom_));
}

// Rule: --load puts its file into the run's chip after the firmware copy
// and wins where both write, leaving nothing on the line; --fresh-chip
// --chip-from starts each run's chip as a copy of a template, which stays as
// it was, runs from one template going side by side with loads of their
// own. Bad values are refused (2) before anything is made or started; a
// template a launch holds is refused as a chip in use (1).
TEST_F(BackingFilesTest, LoadsAndChipTemplates) {
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", work_dir_ / "app.fls");
  write_bytes(flash_, std::vector<uint8_t>(256 * 1024, 0xFF));
  write_bytes(eeprom_, std::vector<uint8_t>(64, 0xFF));
  for (char c : {'L', 'a', 'b'}) write_bytes(work_dir_ / (c + std::string(".bin")), std::vector<uint8_t>(16, c));
  RunResult r = run({"-elf", "app.elf", "-img", "app.fls", "-nographic", "--load", "flash:0x08010000=L.bin",
                     "--load", "eeprom:0x10=L.bin"});
  EXPECT_EQ(0, r.status) << r.err;
  const std::vector<uint8_t> flash = read_bytes(flash_), eeprom = read_bytes(eeprom_);
  EXPECT_EQ(std::vector<uint8_t>(16, 'L'), std::vector<uint8_t>(flash.begin() + 0x10000, flash.begin() + 0x10010));
  EXPECT_NE(0xFF, flash[0x10010]) << "the firmware around it";
  EXPECT_EQ(std::vector<uint8_t>(16, 'L'), std::vector<uint8_t>(eeprom.begin() + 0x10, eeprom.begin() + 0x20));
  for (const std::string& arg : recorded_args()) EXPECT_EQ(std::string::npos, arg.find("L.bin")) << arg;
  for (const auto& raw : fs::directory_iterator(tmp_dir_)) fs::remove(raw.path());

  fs::create_directory(work_dir_ / "none");
  const std::string bin = target_path(bin_dir_);
  const struct {
    std::vector<std::string> words;
    std::string err;
  } refusals[] = {
      {{"--load", "eeprom:0x7ff8=L.bin"}, "--load: L.bin: 16 bytes at 0x7ff8 reach past the end of eeprom, 0x8000"},
      {{"--fresh-chip", "--load", "eeprom:0=no.bin"}, "--load: cannot read no.bin: No such file or directory"},
      {{"--fresh-chip", "--chip-from", "app.fls"}, "--chip-from app.fls: Not a directory"},
      {{"--fresh-chip", "--chip-from", "none"},
       "--chip-from none holds no chip: none" + std::string(1, sep()) + "zelk.iflash: No such file or directory"},
      {{"--fresh-chip", "--chip-from", bin},
       "--chip-from " + bin + " holds no chip: " + bin + sep() + "zelk.iflash is 262144 bytes, not 134217728"},
  };
  const std::vector<uint8_t> flash_before = read_bytes(flash_);
  for (const auto& c : refusals) {
    std::vector<std::string> words = {"-elf", "app.elf", "-img", "app.fls", "-nographic", "--log", "x.log"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    fs::remove(record_);
    r = run(words);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("zelk_sim: " + c.err + "\n", r.err);
    EXPECT_FALSE(standin_ran());
    EXPECT_FALSE(fs::exists(work_dir_ / "x.log"));
    EXPECT_TRUE(fs::is_empty(tmp_dir_));
  }
  EXPECT_EQ(flash_before, read_bytes(flash_));

  // The template, made by zelk_flash; a load at its place in the runs wins.
  fs::create_directory(work_dir_ / "golden");
  ASSERT_EQ(0, run_flash_tool({"--dir", "golden", "load", "eeprom", "0x10", "L.bin"}).status);
  ASSERT_EQ(0, run_flash_tool({"--dir", "golden", "load", "eeprom", "0x20", "L.bin"}).status);
  const fs::path golden_eeprom = work_dir_ / "golden" / "zelk.eeprom";
  const fs::file_time_type aged = age(golden_eeprom);
  RunOptions holding;
  holding.env["ZELK_STANDIN_HOLD_MS"] = "1500";
  std::vector<Started> runs;
  for (const char* file : {"eeprom:0x20=a.bin", "eeprom:0x20=b.bin"})
    runs.push_back(start({"-elf", "app.elf", "-nographic", "--fresh-chip", "--chip-from",
                          target_path(work_dir_ / "golden"), "--load", file}, holding));
  for (Started& started : runs) ASSERT_TRUE(wait_for_output(&started, "holding"));
  std::set<std::string> seen;
  for (const auto& chip : fs::directory_iterator(tmp_dir_)) {
    const std::vector<uint8_t> bytes = read_bytes(chip.path() / "zelk.eeprom");
    EXPECT_EQ(std::vector<uint8_t>(16, 'L'), std::vector<uint8_t>(bytes.begin() + 0x10, bytes.begin() + 0x20));
    seen.insert(std::string(bytes.begin() + 0x20, bytes.begin() + 0x30));
    EXPECT_EQ(kFlashSize, fs::file_size(chip.path() / "zelk.iflash"));
  }
  EXPECT_EQ((std::set<std::string>{std::string(16, 'a'), std::string(16, 'b')}), seen);
  for (Started& started : runs) EXPECT_EQ(0, finish(started).status);
  EXPECT_EQ(aged, fs::last_write_time(golden_eeprom));
  EXPECT_TRUE(fs::is_empty(tmp_dir_));

  // A template a launch holds is neither copied nor loaded into.
  holding.env["ZELK_STANDIN_HOLD_MS"] = "4000";
  Started holder = start({"-elf", "app.elf", "-nographic", "--chip-dir", "golden"}, holding);
  ASSERT_TRUE(wait_for_output(&holder, "holding"));
  r = run({"-elf", "app.elf", "-nographic", "--fresh-chip", "--chip-from", "golden"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("zelk_sim: the chip in golden is in use by ")) << r.err;
  EXPECT_EQ("", r.out);
  // Watched, as any chip in use: a setup problem, an error in the report.
  const RunResult watched = run({"-elf", "app.elf", "-nographic", "--fresh-chip", "--chip-from",
                                 "golden", "--status", "--junit", "r.xml"});
  EXPECT_EQ(2, watched.status);
  EXPECT_EQ(r.err, watched.err);
  EXPECT_NE(std::string::npos, read_text(work_dir_ / "r.xml").find("<error message=\"the chip in golden"));
  const RunResult load = run_flash_tool({"--dir", "golden", "load", "eeprom", "0x20", "a.bin"});
  EXPECT_EQ(2, load.status);
  EXPECT_EQ("zelk_flash: " + r.err.substr(10), load.err);
  EXPECT_EQ(0, finish(holder).status);
  EXPECT_EQ('L', read_bytes(golden_eeprom)[0x20]);
}

}  // namespace

namespace {

// Rule: --fresh-chip gives each run a new chip in a folder of its own under
// the temporary directory, whatever ZELK_CHIP_DIR says, so runs go side by
// side and each starts from the same chip; once a run is over, nothing of
// it is left, also where its launcher was killed (the next fresh run
// clears it). It cannot be had with --chip-dir.
TEST_F(BackingFilesTest, AFreshChipIsTheRunsOwnAndGoesWithIt) {
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", work_dir_ / "app.fls");
  const std::vector<std::string> words = {"-elf", "app.elf", "-img", "app.fls", "-nographic",
                                          "--fresh-chip"};
  RunOptions holding;
  holding.env["ZELK_STANDIN_HOLD_MS"] = "1000";
  holding.env["ZELK_CHIP_DIR"] = "no such folder";
  std::vector<Started> runs = {start(words, holding), start(words, holding)};
  for (Started& started : runs) EXPECT_TRUE(wait_for_output(&started, "holding"));
  std::set<std::string> chips;
  for (Started& started : runs) {
    const RunResult r = finish(started);
    EXPECT_EQ(0, r.status) << r.err;
    // A new chip: every piece of the firmware written.
    EXPECT_NE(std::string::npos, r.out.find("zelk_chip_")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("(134217728 bytes)")) << r.out;
    chips.insert(r.out.substr(r.out.find("zelk_chip_"), 30));
  }
  EXPECT_EQ(2u, chips.size()) << "each run its own chip";
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
  EXPECT_FALSE(fs::exists(flash_));

  holding.env["ZELK_STANDIN_HOLD_MS"] = "20000";
  Started killed = start(words, holding);
  ASSERT_TRUE(wait_for_output(&killed, "holding"));
  kill_launcher(killed);
  finish(killed);
  // Its run is over once its chip's lock is free: the simulator gone.
  ASSERT_EQ(1, std::distance(fs::directory_iterator(tmp_dir_), {}));
  const fs::path left = fs::directory_iterator(tmp_dir_)->path();
  for (int i = 0; i < 500; ++i) {
    // Under Wine the lock is Windows' own, which this process cannot see.
    FileLock lock;
    long holder = 0;
    if (windows() ? processes_naming("zelk_chip_").empty()
                  : lock.take(target_path(left / "zelk.lock"), &holder) == FileLock::Status::kTaken)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (windows()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // Beside it, what the next run must leave alone: a link named as a fresh
  // chip to a chip folder elsewhere; a folder of another user; one holding
  // more than a chip; a run's folder still starting, its lock not taken yet.
  // A run killed before it locked its chip left one that is old by now.
  const fs::path victim = root_.path() / "victim";
  fs::create_directory(victim);
  for (const char* name : {"zelk.iflash", "zelk.eeprom", "zelk.lock"}) write_text(victim / name, "1");
  // Wine shows a Unix link as the folder it names, where Windows' own links
  // are reparse points: there only what the folder holds keeps it.
  if (windows()) write_text(victim / "README.md", "");
  fs::create_directory_symlink(victim, tmp_dir_ / "zelk_chip_1_2_3");
  const std::vector<fs::path> kept = {tmp_dir_ / "zelk_chip_7_8_9", tmp_dir_ / "zelk_chip_10_a_0"};
  for (const fs::path& dir : kept) fs::create_directory(dir);
  write_text(kept[0] / "zelk.lock", "1");
  write_text(kept[0] / "notes.txt", "");
  write_text(kept[1] / "zelk.lock", "");
  const fs::path old = tmp_dir_ / "zelk_chip_11_b_0";
  fs::create_directory(old);
  write_text(old / "zelk.lock", "");
  fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(1));
  // As root: another user's link in a sticky folder, which the system
  // follows when fs.protected_symlinks is 0, and another user's folder.
  const fs::path sysctl = "/proc/sys/fs/protected_symlinks";
  const std::string protection = fs::exists(sysctl) ? read_text(sysctl) : "";
  const bool root = !windows() && geteuid() == 0;
  const fs::path other = tmp_dir_ / "zelk_chip_4_5_6";
  if (root) {
    fs::create_directory(other);
    write_text(other / "zelk.lock", "1");
    fs::permissions(tmp_dir_, fs::perms::all | fs::perms::sticky_bit);
    ASSERT_EQ(0, lchown((tmp_dir_ / "zelk_chip_1_2_3").c_str(), 65534, 65534));
    ASSERT_EQ(0, chown(other.c_str(), 65534, 65534));
    std::ofstream(sysctl) << "0\n";
  }
  const RunResult next = run({"-elf", "app.elf", "-nographic", "--fresh-chip"});
  if (root && !protection.empty()) std::ofstream(sysctl) << protection;
  EXPECT_EQ(0, next.status) << next.err;
  EXPECT_EQ(3 + windows(), std::distance(fs::directory_iterator(victim), {}));
  EXPECT_EQ("1", read_text(victim / "zelk.lock"));
  EXPECT_TRUE(fs::is_symlink(tmp_dir_ / "zelk_chip_1_2_3"));
  for (const fs::path& dir : kept) EXPECT_TRUE(fs::exists(dir / "zelk.lock")) << dir;
  EXPECT_EQ(root, fs::exists(other / "zelk.lock"));
  EXPECT_EQ(3 + root, std::distance(fs::directory_iterator(tmp_dir_), {}));
  fs::remove(tmp_dir_ / "zelk_chip_1_2_3");
  for (const fs::path& dir : kept) fs::remove_all(dir);
  fs::remove_all(other);
  EXPECT_TRUE(fs::is_empty(tmp_dir_));

  const RunResult refused = run({"-elf", "app.elf", "--fresh-chip", "--chip-dir", "x"});
  EXPECT_EQ(2, refused.status);
  EXPECT_EQ("zelk_sim: --fresh-chip: a fresh chip has no folder to name (--chip-dir)\n", refused.err);
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
}

}  // namespace
