// zelk_flash run as a process beside the launcher: what each command
// prints, its exit status, and that it agrees with what a launch does.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "e2e/harness.h"
#include "storage/fls_format.h"

namespace {

using Words = std::vector<std::string>;

const char kBlinkyFlsRows[] =
    "image  header      data        length      end         a launch writes\n"
    "    0  0x0800ffc0  0x08010000  336         0x08010150  header and data\n"
    "    1  0x0801ffc0  0x08020000  256         0x08020100  header and data\n";

class FlashToolTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    const fs::path sample = fs::path(ZELK_EXAMPLES) / "blinky" / "build";
    fs::copy_file(sample / "blinky.fls", work_dir_ / "app.fls");
    fs::copy_file(sample / "blinky.elf", work_dir_ / "app.elf");
  }
  std::string flash_path() const { return target_path(bin_dir_) + sep() + "zelk.iflash"; }
};

// Rule: info tells a .fls from an ELF by content and reports what a
// launch takes from it; where a launch's copy stops, overlapping images and
// an ELF a launch refuses are problems (1); a file it cannot read is 2.
TEST_F(FlashToolTest, InfoTellsWhatALaunchTakes) {
  write_text(work_dir_ / "a.bin", std::string(300, 'A'));
  RunResult packed =
      run_flash_tool({"pack", "-o", "two.fls", "0x08010000=a.bin", "0x08010100:none=a.bin"});
  EXPECT_EQ(0, packed.status);
  EXPECT_EQ("two.fls: 2 images, 728 bytes\n", packed.out);
  EXPECT_EQ("zelk_flash: note: 1 overlap(s) in flash; 'zelk_flash info two.fls' lists them\n",
            packed.err);
  std::vector<uint8_t> bad = read_bytes(work_dir_ / "app.fls");
  bad.resize(bad.size() + 65, 0);
  write_bytes(work_dir_ / "bad.fls", bad);
  std::vector<uint8_t> elf64 = read_bytes(work_dir_ / "app.elf");
  elf64[4] = 2;
  write_bytes(work_dir_ / "e64.elf", elf64);

  const struct {
    const char* file;
    int status;
    std::string out, err;
  } cases[] = {
      {"app.fls", 0, "app.fls: firmware image file of 720 bytes, 2 images\n" + std::string(kBlinkyFlsRows), ""},
      {"app.elf", 0,
       "app.elf: ELF; a launch loads a raw image of 336 bytes at 0x08000000\n"
       "flash sections, in table order:\n"
       "  [ 1] .isr_vector          0x08000000          64 bytes at file offset 0x00001000\n"
       "  [ 2] .text                0x08000040         220 bytes at file offset 0x00001040\n"
       "  [ 3] .rodata              0x0800011c          48 bytes at file offset 0x0000111c\n"
       ".data sections, after them:\n"
       "  [ 4] .data                0x20000000           4 bytes at file offset 0x00002000\n",
       ""},
      {"two.fls", 1,
       "two.fls: firmware image file of 728 bytes, 2 images\n"
       "image  header      data        length      end         a launch writes\n"
       "    0  0x0800ffc0  0x08010000  300         0x0801012c  header and data\n"
       "    1  0xffffffff  0x08010100  300         0x0801022c  data; its header is not stored\n",
       "zelk_flash: image 0's data (0x08010000..0x0801012c) and image 1's data "
       "(0x08010100..0x0801022c) overlap\n"},
      {"bad.fls", 1, "bad.fls: firmware image file of 785 bytes, 2 images\n" + std::string(kBlinkyFlsRows),
       "zelk_flash: image 2: image magic error; a launch's copy stops there\n"},
      {"e64.elf", 1, "",
       "zelk_flash: e64.elf: a launch prints copy cmd ret = -9: not a 32-bit little-endian ELF, "
       "or a field points outside the file\n"},
      {"missing.fls", 2, "", "zelk_flash: cannot read missing.fls: No such file or directory\n"},
      {".", 2, "", "zelk_flash: cannot read .: Is a directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    RunResult r = run_flash_tool({"info", c.file});
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err);
  }
}

// Rule: diff lists what the next launch would write; write writes exactly
// that, after which diff finds nothing and a launch writes nothing either.
TEST_F(FlashToolTest, WriteThenDiffFindsNothing) {
  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(256 * 1024, 0xFF));
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  RunResult r = run_flash_tool({"diff", "app.fls"});
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_EQ(
      "0x0800ffc0..0x08010000  image 0 header\n"
      "0x08010000..0x08010150  image 0 data, 1 chunk\n"
      "0x0801ffc0..0x08020000  image 1 header\n"
      "0x08020000..0x08020100  image 1 data, 1 chunk\n"
      "the next launch would write 2 headers and 2 chunks (720 bytes)\n",
      r.out);
  r = run_flash_tool({"write", "app.fls"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("wrote 2 headers and 2 chunks (720 bytes) into " + flash_path() + "\n", r.out);
  r = run_flash_tool({"diff", "app.fls"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("flash already holds app.fls\n", r.out);

  const fs::path flash = bin_dir_ / "zelk.iflash";
  fs::last_write_time(flash, fs::last_write_time(flash) - std::chrono::hours(24 * 400));
  const fs::file_time_type aged = fs::last_write_time(flash);
  r = run({"-elf", "app.elf", "-img", "app.fls", "-nographic"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(aged, fs::last_write_time(flash));
}

// Rule: dump prints the chip's own addresses, folds repeated lines into
// '*' and ends with the address after the last byte; words that make no
// command are usage errors (2), and --help answers for any command.
TEST_F(FlashToolTest, DumpAndUsage) {
  RunResult r = run_flash_tool({"erase", "all"});
  EXPECT_EQ(0, r.status) << r.err;
  r = run_flash_tool({"dump", "flash", "0x08000000", "0x90"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "08000000  9f ff ff a0 f5 fa 70 8b  28 6d ce 32 a8 1b 01 00  |......p.(m.2....|\n"
      "08000010  28 6d ce 37 3b fb 34 00  b6 f7 00 00 ff ff ff ff  |(m.7;.4.........|\n"
      "08000020  00 00 04 00 ff ff ff ff  39 e0 ff 01 ff ff ff ff  |........9.......|\n"
      "08000030  ff ff ff ff ff ff ff ff  ff ff ff ff ff ff ff ff  |................|\n"
      "*\n"
      "08000080  ff ff ff ff 4b a4 90 14  ff ff ff ff ff ff ff ff  |....K...........|\n"
      "08000090\n",
      r.out);
  r = run_flash_tool({"dump", "eeprom", "0x7ffe", "100"});
  EXPECT_EQ("00007ffe  ff ff                                             |..|\n00008000\n", r.out);
  // No bytes, no lines; and a backing file longer than its memory is dumped
  // only as far as the memory goes.
  r = run_flash_tool({"dump", "flash", "0x08000000", "0"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(0x8000 + 64, 0xFF));
  r = run_flash_tool({"dump", "eeprom", "0x7ff0", "100"});
  EXPECT_EQ("00007ff0  ff ff ff ff ff ff ff ff  ff ff ff ff ff ff ff ff  |................|\n00008000\n",
            r.out);

  const std::vector<std::vector<std::string>> errors = {
      {}, {"frob"}, {"info"}, {"erase", "disk"}, {"erase", "all", "now"}, {"dump", "flash", "0x100"},
      {"dump", "flash", "0x08000000", "12x"}, {"pack", "-o", "x.fls"}, {"help", "diff", "write"},
      {"--dir", "nowhere", "diff", "app.fls"}, {"--dir", "", "erase", "all"}, {"--dir=", "info", "app.fls"},
      {"where", "now"}};
  for (const auto& words : errors) {
    SCOPED_TRACE(words.empty() ? "" : words[0]);
    r = run_flash_tool(words);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE("", r.err);
  }
  // where names the folder as every command finds it, whole.
  fs::create_directory(work_dir_ / "chip");
  RunOptions chip_env;
  chip_env.env["ZELK_CHIP_DIR"] = "chip";
  EXPECT_EQ(target_path(bin_dir_) + "\n", run_flash_tool({"where"}).out);
  EXPECT_EQ(target_path(work_dir_ / "chip") + "\n", run_flash_tool({"where"}, chip_env).out);
  EXPECT_EQ(target_path(work_dir_ / "chip") + "\n", run_flash_tool({"--dir", "chip", "where"}).out);
  r = run_flash_tool({"diff", "--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.out.find("usage: zelk_flash [--dir DIR] diff FILE.fls\n")) << r.out;
  r = run_flash_tool({"help", "help"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.out.find("usage: zelk_flash [--dir DIR] help [COMMAND]\n")) << r.out;
}

// Rule: what stands in the way is named with the system's reason, status 2,
// and no command claims what it did not do: a folder where a backing file
// belongs, a flash file the disk will not take, an empty --dir, firmware a
// launch refuses.
TEST_F(FlashToolTest, FailuresAreNamedAndNothingIsClaimed) {
  fs::create_directory(bin_dir_ / "zelk.iflash");
  const std::string folder = "zelk_flash: " + flash_path() + " is a folder\n";
  for (const std::vector<std::string>& words :
       {Words{"diff", "app.fls"}, Words{"write", "app.fls"}, Words{"erase", "flash"},
        Words{"dump", "flash", "0x08000000"}}) {
    SCOPED_TRACE(words[0]);
    const RunResult r = run_flash_tool(words);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(folder, r.err);
  }
  fs::remove(bin_dir_ / "zelk.iflash");

  // An empty --dir is no folder; the one beside the program stays as it was.
  const size_t files_before = std::distance(fs::directory_iterator(bin_dir_), {});
  RunResult r = run_flash_tool({"--dir", "", "erase", "all"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("zelk_flash: --dir needs a folder\n", r.err);
  EXPECT_EQ(files_before, static_cast<size_t>(std::distance(fs::directory_iterator(bin_dir_), {})));

  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(16 * 1024, 0xFF));
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  write_bytes(work_dir_ / "zeros.fls", std::vector<uint8_t>(128, 0));
  r = run_flash_tool({"write", "zeros.fls"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("zelk_flash: image 0: image magic error; a launch's copy stops there\n", r.err);

  if (windows()) return;  // RLIMIT_FSIZE stands in for a full disk on POSIX only
  RunOptions full;
  full.file_size_limit = 16 * 1024;
  r = run_flash_tool({"write", "app.fls"}, full);
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("zelk_flash: cannot write " + flash_path() + " at 0x0800ffc0: " + strerror(EFBIG) + "\n",
            r.err);
  EXPECT_EQ(std::vector<uint8_t>(16 * 1024, 0xFF), read_bytes(bin_dir_ / "zelk.iflash"));
}

// Rule: pack checks everything before it writes, and puts OUT.fls in place
// whole: a refusal leaves the old file byte for byte and nothing beside it;
// an image a launch would ignore (no data, at the very end) is refused.
TEST_F(FlashToolTest, PackRefusesBeforeItTouchesTheOldFile) {
  write_text(work_dir_ / "a.bin", std::string(300, 'A'));
  write_text(work_dir_ / "empty.bin", "");
  write_text(work_dir_ / "out.fls", "the old file");
  const struct {
    std::vector<std::string> words;
    std::string err;
  } refusals[] = {
      {{"pack", "-o", "out.fls", "0x0ffffff0=a.bin"},
       "zelk_flash: image 0: image at 0x0ffffff0: length 300 reaches beyond the end of flash; "
       "nothing written\n"},
      {{"pack", "-o", "out.fls", "0x08010000=a.bin", "0x08020000=empty.bin"},
       "zelk_flash: image 1: no data, at the end of the file, where a launch ignores 64 bytes; "
       "nothing written\n"},
      {{"pack", "-o", "out.fls", "0x08010000=missing.bin"},
       "zelk_flash: cannot read missing.bin: No such file or directory\n"},
  };
  const size_t files_before = std::distance(fs::directory_iterator(work_dir_), {});
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.words.back());
    const RunResult r = run_flash_tool(c.words);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ("the old file", read_text(work_dir_ / "out.fls"));
    EXPECT_EQ(files_before, static_cast<size_t>(std::distance(fs::directory_iterator(work_dir_), {})));
  }
  const RunResult r = run_flash_tool({"pack", "-o", "out.fls", "0x08020000=empty.bin", "0x08010000=a.bin"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(64u + 64 + 300, fs::file_size(work_dir_ / "out.fls"));
  EXPECT_EQ(files_before, static_cast<size_t>(std::distance(fs::directory_iterator(work_dir_), {})));
  EXPECT_EQ("out.fls: firmware image file of 428 bytes, 2 images\n",
            split_lines(run_flash_tool({"info", "out.fls"}).out)[0] + "\n");
}

// Rule: load puts a file's bytes at the chip's own address, writing only
// the 4 KiB pieces that differ, so an identical load leaves the file and
// its time as they were; what is wrong is found before anything is made
// or written (2); a chip not made yet is made as a launch makes it.
TEST_F(FlashToolTest, LoadWritesOnlyThePiecesThatDiffer) {
  write_bytes(work_dir_ / "cfg.bin", std::vector<uint8_t>(100, 0x5A));
  std::vector<uint8_t> big(32 * 1024);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + 1);
  write_bytes(work_dir_ / "big.bin", big);
  fs::create_directory(work_dir_ / "chip");
  const std::string usage = "usage: zelk_flash [--dir DIR] load flash ADDR FILE | load eeprom OFFSET FILE\n";
  const struct {
    Words words;
    std::string err;
  } refusals[] = {
      {{"eeprom", "0x7fd0", "cfg.bin"},
       "zelk_flash: cfg.bin: 100 bytes at 0x7fd0 reach past the end of eeprom, 0x8000\n"},
      {{"flash", "0x0ffffff0", "cfg.bin"},
       "zelk_flash: cfg.bin: 100 bytes at 0x0ffffff0 reach past the end of flash, 0x10000000\n"},
      {{"flash", "0x1000", "cfg.bin"}, "zelk_flash: 0x00001000 lies outside flash, 0x08000000..0x0fffffff\n"},
      {{"rom", "0", "cfg.bin"}, "zelk_flash load: say flash or eeprom, then where, then the file\n" + usage},
      {{"eeprom", "1O", "cfg.bin"}, "zelk_flash load: '1O' is no number\n" + usage},
      {{"eeprom", "0", "missing.bin"}, "zelk_flash: cannot read missing.bin: No such file or directory\n"},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.err);
    Words words = {"--dir", "chip", "load"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    const RunResult r = run_flash_tool(words);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_TRUE(fs::is_empty(work_dir_ / "chip"));
  }
  const fs::path flash = work_dir_ / "chip" / "zelk.iflash", eeprom = work_dir_ / "chip" / "zelk.eeprom";
  const char* loaded[] = {"loaded cfg.bin into eeprom at 0x0010: 100 bytes, 1 piece written\n",
                          "loaded big.bin into flash at 0x08001000: 32768 bytes, 8 pieces written\n",
                          "loaded cfg.bin into eeprom at 0x0010: 100 bytes, 0 pieces written\n",
                          "loaded big.bin into flash at 0x08001000: 32768 bytes, 0 pieces written\n"};
  fs::file_time_type aged[2];
  for (int i = 0; i < 4; ++i) {
    if (i == 2) {
      for (const fs::path& file : {eeprom, flash}) fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(24 * 400));
      aged[0] = fs::last_write_time(eeprom);
      aged[1] = fs::last_write_time(flash);
    }
    const RunResult r = run_flash_tool(i % 2 ? Words{"--dir", "chip", "load", "flash", "0x08001000", "big.bin"}
                                             : Words{"--dir", "chip", "load", "eeprom", "16", "cfg.bin"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(loaded[i], r.out);
  }
  EXPECT_EQ(aged[0], fs::last_write_time(eeprom));
  EXPECT_EQ(aged[1], fs::last_write_time(flash));
  EXPECT_EQ(134217728u, fs::file_size(flash));
  std::vector<uint8_t> want(0x8000, 0xFF);
  std::fill(want.begin() + 0x10, want.begin() + 0x74, 0x5A);
  EXPECT_EQ(want, read_bytes(eeprom));
  std::ifstream in(flash, std::ios::binary);
  in.seekg(0x1000);
  std::vector<uint8_t> got(big.size() + 1);
  in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size()));
  big.push_back(0xFF);
  EXPECT_EQ(big, got);
}

// Rule: a firmware file of more than 2 GiB is read through 64-bit offsets
// on every platform: info lists it, write and a launch store what lies
// past the 2 GiB mark. The file is sparse.
TEST_F(FlashToolTest, FirmwareFilesPastTwoGibibytes) {
  const uint32_t first_length = 0x7FFFFFFF;  // data outside flash, skipped
  const ImageHeader first = make_image_header(0x20000000, kHeaderNotStored, nullptr, 0, "");
  std::vector<uint8_t> head(first.bytes, first.bytes + kImageHeaderSize);
  for (int i = 0; i < 4; ++i) head[kImageLengthField + i] = static_cast<uint8_t>(first_length >> (8 * i));
  const std::vector<uint8_t> data(16, 'Z');
  const ImageHeader second = make_image_header(0x08010000, 0x0800ffc0, data.data(), 16, "z.bin");
  {
    std::ofstream out(work_dir_ / "big.fls", std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    out.seekp(static_cast<std::streamoff>(kImageHeaderSize) + first_length);
    out.write(reinterpret_cast<const char*>(second.bytes), kImageHeaderSize);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  RunResult r = run_flash_tool({"info", "big.fls"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "big.fls: firmware image file of 2147483791 bytes, 2 images\n"
      "image  header      data        length      end         a launch writes\n"
      "    0  0xffffffff  0x20000000  2147483647  0x9fffffff  nothing: header and data lie outside flash\n"
      "    1  0x0800ffc0  0x08010000  16          0x08010010  header and data\n",
      r.out);
  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(128 * 1024, 0xFF));
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  r = run_flash_tool({"write", "big.fls"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("wrote 1 header and 1 chunk (80 bytes) into " + flash_path() + "\n", r.out);

  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(128 * 1024, 0xFF));
  r = run({"-elf", "app.elf", "-img", "big.fls", "-nographic"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("stand-in")) << r.out;
  const std::vector<uint8_t> flash = read_bytes(bin_dir_ / "zelk.iflash");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x10000));
  EXPECT_TRUE(std::equal(second.bytes, second.bytes + kImageHeaderSize, flash.begin() + 0xffc0));
}

}  // namespace
