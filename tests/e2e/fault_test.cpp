// The launcher against a hostile machine: a disk that fills up, files it
// cannot read, folders where files should be, no temporary directory, no
// simulator or one that refuses the line. Every launch must still end with
// its message and status, and write nothing but what it owns.
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>

#include "e2e/harness.h"
#include "storage/fls_format.h"

namespace {

constexpr uint32_t kNoFlash = kHeaderNotStored;

void put32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// One image of a firmware image file: the 64-byte header, then the data.
std::vector<uint8_t> fls_image(uint32_t addr, uint32_t header_addr,
                               const std::vector<uint8_t>& data) {
  const ImageHeader h = make_image_header(addr, header_addr, data.data(),
                                          static_cast<uint32_t>(data.size()), "app.bin");
  // Sized first and filled in place: GCC 12 at -O3 takes a vector built
  // from the header and then grown for an overread (-Warray-bounds).
  std::vector<uint8_t> out(kImageHeaderSize + data.size());
  std::copy(h.bytes, h.bytes + kImageHeaderSize, out.begin());
  std::copy(data.begin(), data.end(), out.begin() + kImageHeaderSize);
  return out;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A minimal ELF with one program-data section of |size| bytes at flash
// address 0x08000000, so that its raw image is exactly those bytes.
std::vector<uint8_t> flash_elf(size_t size) {
  constexpr uint32_t kHeader = 52, kSectionHeader = 40;
  std::vector<uint8_t> elf = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  elf.resize(kHeader, 0);
  const uint32_t table = kHeader + static_cast<uint32_t>(size);
  for (int i = 0; i < 4; ++i) elf[0x20 + i] = static_cast<uint8_t>(table >> (8 * i));
  elf[0x30] = 2;  // the null section and the program
  elf.insert(elf.end(), size, 0xC3);
  elf.resize(elf.size() + kSectionHeader, 0);
  std::vector<uint8_t> section;
  put32(&section, 0);                                // name
  put32(&section, 1);                                // SHT_PROGBITS
  put32(&section, 0);                                // flags
  put32(&section, 0x08000000);                       // address
  put32(&section, kHeader);                          // offset
  put32(&section, static_cast<uint32_t>(size));      // size
  section.resize(kSectionHeader, 0);
  return concat(elf, section);
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

// What the launcher itself printed: its standard output up to the
// stand-in's report, which shares the console.
std::string notes(const RunResult& r) {
  const size_t at = r.out.find("stand-in ");
  return at == std::string::npos ? r.out : r.out.substr(0, at);
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool any_arg_starts_with(const std::vector<std::string>& args, const std::string& prefix) {
  for (const std::string& arg : args)
    if (arg.rfind(prefix, 0) == 0) return true;
  return false;
}

class FaultTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    elf_ = add_fixture_elf("blink", "app.elf");
  }

  // Backing files of |flash_size| bytes of 0xFF (and a small EEPROM), so
  // that the copy's writes can be told from what was there.
  void seed_flash(size_t flash_size) {
    write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(flash_size, 0xFF));
    write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  }

  static bool root() { return geteuid() == 0; }

  // Runs the launcher where file modes bind. Root reads and writes any file
  // whatever its mode, so under root the launcher runs as the user nobody,
  // with the test's folders and backing files opened up to it: only the
  // modes a test sets itself can stand in its way. Under Wine it runs as
  // it is.
  RunResult run_where_modes_bind(const std::vector<std::string>& words, const RunOptions& options = {}) {
    if (!root() || windows()) return run(words, options);
    const uid_t kNobody = 65534;
    const auto all = fs::perms::all;
    for (const fs::path& dir : {root_.path(), bin_dir_, work_dir_, tmp_dir_}) fs::permissions(dir, all);
    for (const char* name : {"zelk.iflash", "zelk.eeprom"})
      if (fs::exists(bin_dir_ / name))
        fs::permissions(bin_dir_ / name, fs::perms::owner_read | fs::perms::owner_write |
                                             fs::perms::group_read | fs::perms::group_write |
                                             fs::perms::others_read | fs::perms::others_write);
    std::error_code ec;
    fs::remove(record_, ec);
    const fs::path out = root_.path() / "nobody_out.txt", err = root_.path() / "nobody_err.txt";
    std::vector<std::string> argv = {launcher_.string()};
    argv.insert(argv.end(), words.begin(), words.end());
    const std::string path = sim_dir_.string() + ":" + (getenv("PATH") ? getenv("PATH") : "");
    pid_t pid = fork();
    if (pid == 0) {
      int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in_fd = open("/dev/null", O_RDONLY);
      if (out_fd < 0 || err_fd < 0 || in_fd < 0 || chdir(work_dir_.c_str()) != 0) _exit(126);
      dup2(in_fd, 0);
      dup2(out_fd, 1);
      dup2(err_fd, 2);
      setenv("PATH", path.c_str(), 1);
      setenv("TMPDIR", tmp_dir_.c_str(), 1);
      setenv("ZELK_STANDIN_RECORD", record_.c_str(), 1);
      for (const auto& [name, value] : options.env) {
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
      }
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
      std::vector<char*> args;
      for (std::string& word : argv) args.push_back(word.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    RunResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = read_text(out);
    result.err = read_text(err);
    return result;
  }

  fs::path elf_;
};

#define SKIP_ON_WINDOWS(why) \
  if (windows()) GTEST_SKIP() << why

// The flash file is created while the disk has room for only 1 MiB of it:
// each short block is reported, then that the file was not created, and
// neither it nor its partial copy is left; nothing runs on a chip without
// its flash.
TEST_F(FaultTest, DiskFullWhileCreatingTheFlashFile) {
  SKIP_ON_WINDOWS("RLIMIT_FSIZE stands in for a full disk on POSIX only");
  RunOptions options;
  options.file_size_limit = 1 << 20;
  const std::set<std::string> work_before = names_in(work_dir_);
  RunResult r = run({"-elf", "app.elf"}, options);
  EXPECT_EQ(2, r.status) << r.out;
  EXPECT_EQ("", notes(r));
  EXPECT_TRUE(has(r.err, "fwrite: ")) << r.err.substr(0, 200);
  const std::vector<std::string> lines = split_lines(r.err);
  EXPECT_EQ("zelk_sim: cannot create " + (bin_dir_ / "zelk.iflash").string() + ": " + strerror(EFBIG),
            lines.back());
  EXPECT_FALSE(standin_ran());
  // The EEPROM is small enough to be whole; of the flash nothing is left.
  EXPECT_EQ((std::set<std::string>{launcher_.filename().string(), flash_tool_.filename().string(),
                                   "zelk.eeprom", "zelk.lock"}),
            names_in(bin_dir_));
  EXPECT_EQ(0x8000u, fs::file_size(bin_dir_ / "zelk.eeprom"));
  EXPECT_EQ(work_before, names_in(work_dir_));
  EXPECT_TRUE(names_in(tmp_dir_).empty());
}

// The firmware copy meets a full disk half way through an image: what fits
// inside the flash file is written, nothing lands past its end, the copy
// stops with one line saying where and why, and the simulator still starts.
TEST_F(FaultTest, DiskFullWhileCopyingFirmware) {
  SKIP_ON_WINDOWS("RLIMIT_FSIZE stands in for a full disk on POSIX only");
  const size_t flash_size = 16 * 1024;
  seed_flash(flash_size);
  const std::vector<uint8_t> first(4096, 0xA5), second(8192, 0x5A);
  const std::vector<uint8_t> fls = concat(fls_image(0x08001000, 0x08000FC0, first),
                                          fls_image(0x08003000, kNoFlash, second));
  write_bytes(work_dir_ / "app.fls", fls);
  RunOptions options;
  options.file_size_limit = flash_size;
  const std::set<std::string> work_before = names_in(work_dir_);
  RunResult r = run({"-elf", "app.elf", "-img", "app.fls"}, options);
  EXPECT_EQ(work_before, names_in(work_dir_));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("flash write error at 0x08004000: " + std::string(strerror(EFBIG)) + "\n", notes(r));
  EXPECT_TRUE(standin_ran());

  const std::vector<uint8_t> flash = read_bytes(bin_dir_ / "zelk.iflash");
  ASSERT_EQ(flash_size, flash.size());
  EXPECT_TRUE(std::equal(fls.begin(), fls.begin() + 64, flash.begin() + 0xFC0));
  EXPECT_EQ(first, std::vector<uint8_t>(flash.begin() + 0x1000, flash.begin() + 0x2000));
  EXPECT_EQ(std::vector<uint8_t>(4096, 0x5A),
            std::vector<uint8_t>(flash.begin() + 0x3000, flash.begin() + 0x4000));
}

// The raw image meets a full disk: the conversion reports the short write
// instead of handing the simulator a cut-off program, and the launch goes
// on without the loader argument.
TEST_F(FaultTest, DiskFullWhileWritingTheRawImage) {
  SKIP_ON_WINDOWS("RLIMIT_FSIZE stands in for a full disk on POSIX only");
  seed_flash(4096);
  // Room for the launcher's notes and the stand-in's record, not for the
  // 64 KiB program.
  write_bytes(work_dir_ / "big.elf", flash_elf(64 * 1024));
  RunOptions options;
  options.file_size_limit = 16 * 1024;
  RunResult r = run({"-elf", "big.elf"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -51\n", notes(r));
  EXPECT_TRUE(standin_ran());
  const std::vector<std::string> args = recorded_args();
  EXPECT_FALSE(any_arg_starts_with(args, "loader,")) << r.out;
  EXPECT_EQ("big.elf", args.empty() ? "" : args.back());
}

// Files that exist but cannot be read: the ELF gives code -2, the firmware
// is skipped in silence, and the flash file is left as it was.
TEST_F(FaultTest, UnreadableInputs) {
  SKIP_ON_WINDOWS("chmod 000 makes no file unreadable on Windows");
  seed_flash(64 * 1024);
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", work_dir_ / "app.fls");
  fs::permissions(elf_, fs::perms::none);
  fs::permissions(work_dir_ / "app.fls", fs::perms::none);
  RunResult r = run_where_modes_bind({"-elf", "app.elf", "-img", "app.fls"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -2\n", notes(r));
  EXPECT_TRUE(standin_ran());
  EXPECT_EQ(std::vector<uint8_t>(64 * 1024, 0xFF), read_bytes(bin_dir_ / "zelk.iflash"));
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
}

// FIFOs named as the ELF and the firmware file: the launcher must not wait
// for a writer that never comes. Should it wait, a watchdog lets it go
// after a few seconds by opening each FIFO for writing, and says so.
TEST_F(FaultTest, FifosNamedAsInputs) {
  SKIP_ON_WINDOWS("FIFOs in the file system are POSIX's");
  seed_flash(64 * 1024);
  const fs::path elf = work_dir_ / "fifo.elf", fls = work_dir_ / "fifo.fls";
  ASSERT_EQ(0, mkfifo(elf.c_str(), 0644));
  ASSERT_EQ(0, mkfifo(fls.c_str(), 0644));
  std::atomic<bool> done{false}, released{false};
  std::thread watchdog([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    while (!done) {
      for (const fs::path& fifo : {elf, fls}) {
        // Succeeds only while a reader waits on the other end.
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
          released = true;
          close(fd);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  RunResult r = run({"-elf", "fifo.elf", "-img", "fifo.fls"});
  done = true;
  watchdog.join();
  EXPECT_FALSE(released) << "the launcher waited for a writer";
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -3\n", notes(r));
  EXPECT_TRUE(standin_ran());
  EXPECT_EQ(std::vector<uint8_t>(64 * 1024, 0xFF), read_bytes(bin_dir_ / "zelk.iflash"));
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
}

// Rule: a chip that cannot be locked or made runs nothing. A launch,
// watched or not, and zelk_flash refuse it with 2 and one line naming the
// file and the system's reason; nothing in the way is replaced or written
// into, and nothing is converted or started.
TEST_F(FaultTest, AChipThatCannotBeLockedOrMadeIsRefused) {
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", work_dir_ / "app.fls");
  const std::string dir = target_path(bin_dir_);
  const struct {
    const char* folder;  // in the way of a file; none: a read-only zelk.lock
    std::string line;
    std::string flash_tool_line = "";  // where zelk_flash says it otherwise
  } cases[] = {
      {"zelk.iflash", "cannot create " + dir + sep() + "zelk.iflash: " + strerror(EISDIR),
       dir + sep() + "zelk.iflash is a folder"},
      {"zelk.eeprom", "cannot create " + dir + sep() + "zelk.eeprom: " + strerror(EISDIR)},
      // Windows opens no folder for writing.
      {"zelk.lock", "the chip in " + dir + " cannot be locked: " + strerror(windows() ? EACCES : EISDIR)},
      {nullptr, "the chip in " + dir + " cannot be locked: " + strerror(EACCES)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    // Wine as root opens a file whatever its mode.
    if (!c.folder && windows()) continue;
    for (const char* name : {"zelk.iflash", "zelk.eeprom", "zelk.lock"}) fs::remove_all(bin_dir_ / name);
    if (c.folder) {
      fs::create_directory(bin_dir_ / c.folder);
    } else {
      write_bytes(bin_dir_ / "zelk.lock", {});
      fs::permissions(bin_dir_ / "zelk.lock", fs::perms::owner_read | fs::perms::group_read |
                                                  fs::perms::others_read);
    }
    for (bool watched : {false, true}) {
      std::vector<std::string> words = {"-elf", "app.elf", "-img", "app.fls", "-nographic"};
      if (watched) words.insert(words.end(), {"--status", "--junit", "r.xml"});
      const RunResult r = run_where_modes_bind(words);
      EXPECT_EQ(2, r.status);
      EXPECT_EQ("zelk_sim: " + c.line + "\n", r.err);
      EXPECT_EQ("", r.out);
      EXPECT_FALSE(standin_ran());
      EXPECT_TRUE(names_in(tmp_dir_).empty());
      if (watched) {
        EXPECT_TRUE(has(read_text(work_dir_ / "r.xml"), "<error message=\"" + c.line));
      }
    }
    if (c.folder) {
      EXPECT_TRUE(fs::is_empty(bin_dir_ / c.folder));
      const RunResult r = run_flash_tool({"write", "app.fls"});
      EXPECT_EQ(2, r.status);
      EXPECT_EQ("zelk_flash: " + (c.flash_tool_line.empty() ? c.line : c.flash_tool_line) + "\n", r.err);
    }
  }
}

// A folder named as the ELF or the firmware file: code -2 for the ELF, and
// the copy reads nothing from the folder and says so, on every platform
// alike.
TEST_F(FaultTest, FoldersNamedAsInputs) {
  seed_flash(64 * 1024);
  fs::create_directory(work_dir_ / "dir.elf");
  fs::create_directory(work_dir_ / "dir.fls");
  RunResult r = run({"-elf", "dir.elf", "-img", "dir.fls"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -2\n", notes(r));
  EXPECT_EQ(0u, r.err.find("zelk_sim: cannot read dir.fls: Is a directory\n")) << r.err;
  EXPECT_TRUE(standin_ran());
  EXPECT_EQ(std::vector<uint8_t>(64 * 1024, 0xFF), read_bytes(bin_dir_ / "zelk.iflash"));
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
  EXPECT_TRUE(fs::is_empty(work_dir_ / "dir.fls"));
}

// The temporary directory is missing or read-only: no raw image, code -8,
// and the simulator starts with the kernel but without a loader; a watched
// run, which would test nothing, is refused (2) naming the file, and the
// firmware is not copied.
TEST_F(FaultTest, NoUsableTemporaryDirectory) {
  seed_flash(4096);
  struct Case {
    const char* what;
    fs::path dir;
    bool watched = false;
  };
  const fs::path locked = root_.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", work_dir_ / "app.fls");
  const Case cases[] = {{"missing", root_.path() / "no_such_dir"}, {"read-only", locked},
                        {"missing, watched", root_.path() / "no_such_dir", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Windows' temporary directory is the profile's, where modes do not bind.
    if (windows() && c.dir == locked) continue;
    RunOptions options;
    options.env[windows() ? "USERPROFILE" : "TMPDIR"] = target_path(c.dir);
    std::vector<std::string> words = {"-elf", "app.elf"};
    if (c.watched) words.insert(words.end(), {"-img", "app.fls", "--status"});
    RunResult r = run_where_modes_bind(words, options);
    EXPECT_EQ("copy cmd ret = -8\n", notes(r));
    if (c.watched) {
      EXPECT_EQ(2, r.status);
      EXPECT_EQ(0u, r.err.find("zelk_sim: cannot write " + target_path(c.dir))) << r.err;
      EXPECT_FALSE(standin_ran());
      EXPECT_EQ(std::vector<uint8_t>(4096, 0xFF), read_bytes(bin_dir_ / "zelk.iflash"));
      continue;
    }
    EXPECT_EQ(0, r.status);
    const std::vector<std::string> args = recorded_args();
    EXPECT_FALSE(any_arg_starts_with(args, "loader,"));
    EXPECT_EQ("app.elf", args.empty() ? "" : args.back());
  }
  EXPECT_FALSE(fs::exists(root_.path() / "no_such_dir"));
  EXPECT_TRUE(fs::is_empty(locked));
}

// The simulator is missing, or refuses the line: the launcher's status stays
// 0, and everything that comes before the start (backing files, raw image,
// firmware copy) is done all the same.
TEST_F(FaultTest, SimulatorMissingOrFailing) {
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", work_dir_ / "app.fls");
  RunOptions missing;
  missing.put_standin_on_path = false;
  const std::set<std::string> work_before = names_in(work_dir_);
  RunResult r = run({"-elf", "app.elf", "-img", "app.fls"}, missing);
  EXPECT_EQ(work_before, names_in(work_dir_));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", notes(r));
  EXPECT_FALSE(standin_ran());
  EXPECT_EQ(0x8000000u, fs::file_size(bin_dir_ / "zelk.iflash"));
  EXPECT_EQ(0x8000u, fs::file_size(bin_dir_ / "zelk.eeprom"));
  EXPECT_EQ(1u, names_in(tmp_dir_).size());
  // blinky.fls puts its first image's header at flash offset 0xFFC0.
  const std::vector<uint8_t> fls = read_bytes(work_dir_ / "app.fls");
  const std::vector<uint8_t> flash = read_bytes(bin_dir_ / "zelk.iflash");
  EXPECT_TRUE(std::equal(fls.begin(), fls.begin() + 64, flash.begin() + 0xFFC0));

  // The stand-in refuses an option it does not know and exits with 1.
  r = run({"-elf", "app.elf", "-img", "app.fls", "-no-such-option"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", notes(r));
  EXPECT_TRUE(standin_ran());
  EXPECT_TRUE(has(r.err, "-no-such-option: invalid option")) << r.err;
  EXPECT_EQ(2u, names_in(tmp_dir_).size());
}

}  // namespace
