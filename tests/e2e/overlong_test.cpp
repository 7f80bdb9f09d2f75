// Inputs longer than any fixed buffer: a launcher, a current directory, a
// temporary directory, an ELF and a firmware file whose paths run past 4096
// characters, and option values of thousands of characters. The launcher
// must handle each whole, or cut it where its rules say, and never spill.
//
// Linux refuses a path of 4096 characters or more in every call that takes
// one, so the deep folders are made, entered and removed one level at a
// time, and the launcher is started by a path relative to its folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "e2e/harness.h"

namespace {

constexpr size_t kLong = 4096;

// An open descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Removes |name| in the folder |parent| with everything below it, one level
// at a time.
void remove_tree(int parent, const char* name) {
  Fd dir(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  DIR* list = fdopendir(dup(dir.get()));
  if (list) {
    std::vector<std::string> names;
    while (dirent* entry = readdir(list))
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    closedir(list);
    for (const std::string& child : names) remove_tree(dir.get(), child.c_str());
  }
  unlinkat(parent, name, AT_REMOVEDIR);
}

// A chain of folders under |base| whose full path has at least |length|
// characters, the last one named |leaf|; removed with its contents when the
// object goes.
class DeepFolder {
 public:
  DeepFolder(const fs::path& base, size_t length, const std::string& leaf)
      : base_(base), path_(base.string()) {
    std::vector<std::string> names;
    const std::string step(200, 'd');
    size_t size = path_.size();
    for (; size + 1 + leaf.size() < length; size += 1 + step.size()) names.push_back(step);
    names.push_back(leaf);
    top_ = names.front();
    Fd dir(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& name : names) {
      if (mkdirat(dir.get(), name.c_str(), 0755) != 0) ADD_FAILURE() << strerror(errno);
      dir = Fd(openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      path_ += "/" + name;
    }
    fd_ = std::move(dir);
  }
  ~DeepFolder() {
    Fd base(open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    remove_tree(base.get(), top_.c_str());
  }
  DeepFolder(const DeepFolder&) = delete;
  DeepFolder& operator=(const DeepFolder&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }

  void write(const std::string& name, const std::vector<uint8_t>& bytes, mode_t mode = 0644) const {
    Fd file(openat(fd(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    ASSERT_GE(file.get(), 0) << strerror(errno);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(file.get(), bytes.data(), bytes.size()));
  }
  void make_folder(const std::string& name) const { ASSERT_EQ(0, mkdirat(fd(), name.c_str(), 0755)); }
  // -1 when |name| is missing.
  long long size_of(const std::string& name) const {
    struct stat st;
    return fstatat(fd(), name.c_str(), &st, 0) == 0 ? st.st_size : -1;
  }
  std::vector<uint8_t> read(const std::string& name, size_t offset, size_t count) const {
    std::vector<uint8_t> bytes(count);
    Fd file(openat(fd(), name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0 || pread(file.get(), bytes.data(), count, static_cast<off_t>(offset)) !=
                              static_cast<ssize_t>(count))
      bytes.clear();
    return bytes;
  }

 private:
  fs::path base_;
  std::string path_, top_;
  Fd fd_;
};

// Makes |dir| the current directory until the object goes.
class EnterFolder {
 public:
  explicit EnterFolder(int dir) : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    EXPECT_EQ(0, fchdir(dir));
  }
  ~EnterFolder() { EXPECT_EQ(0, fchdir(saved_.get())); }

 private:
  Fd saved_;
};

// What the launcher itself printed, up to the stand-in's report.
std::string notes(const RunResult& r) {
  const size_t at = r.out.find("stand-in ");
  return at == std::string::npos ? r.out : r.out.substr(0, at);
}

bool contains(const std::vector<std::string>& args, const std::string& arg) {
  return std::find(args.begin(), args.end(), arg) != args.end();
}

std::string loader_file(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    const size_t at = arg.find(",file=");
    if (arg.rfind("loader,", 0) == 0 && at != std::string::npos) return arg.substr(at + 6);
  }
  return "";
}

class OverlongTest : public LaunchTest {
 protected:
  static std::vector<uint8_t> fixture(const std::string& name) {
    return read_bytes(fs::path(ZELK_FIXTURES) / "elf" / name / (name + ".elf"));
  }
  static std::vector<uint8_t> sample(const std::string& file) {
    return read_bytes(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / file);
  }
};

#define SKIP_ON_WINDOWS() \
  if (windows()) GTEST_SKIP() << "folders nested past 4096 characters are made with POSIX calls"

// The launcher lives in a folder whose path has over 4096 characters: its
// backing files are still created beside it, whole. Their paths make the
// head alone longer than the length test allows, so the line is refused,
// after the assembly, as for any line too long.
TEST_F(OverlongTest, LauncherInADeepFolder) {
  SKIP_ON_WINDOWS();
  DeepFolder deep(root_.path(), kLong, "bin");
  deep.write("zelk_sim", read_bytes(launcher_), 0755);
  deep.write("app.elf", fixture("blink"));
  RunResult r;
  {
    EnterFolder in(deep.fd());
    launcher_ = "./zelk_sim";
    RunOptions options;
    options.cwd = ".";
    r = run({"-elf", "app.elf"}, options);
  }
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("args too long\n", r.out);
  // Nothing was written short (a sanitizer runtime may add its own notes).
  EXPECT_EQ(std::string::npos, r.err.find("fwrite")) << r.err;
  EXPECT_FALSE(standin_ran());
  EXPECT_EQ(0x8000000, deep.size_of("zelk.iflash"));
  EXPECT_EQ(0x8000, deep.size_of("zelk.eeprom"));
  EXPECT_EQ((std::vector<uint8_t>{0x9F, 0xFF, 0xFF, 0xA0}), deep.read("zelk.iflash", 0, 4));
  EXPECT_EQ((std::vector<uint8_t>{0x4B, 0xA4, 0x90, 0x14}), deep.read("zelk.iflash", 0x84, 4));
  EXPECT_EQ(std::vector<uint8_t>(4, 0xFF), deep.read("zelk.iflash", 0x7FFFFFC, 4));
  // The raw image of the run was written all the same.
  EXPECT_EQ(1, std::distance(fs::directory_iterator(tmp_dir_), {}));
}

// Project mode in a folder whose path has over 4096 characters: the project
// name is still its last component, and the relative project paths work.
TEST_F(OverlongTest, ProjectInADeepCurrentDirectory) {
  SKIP_ON_WINDOWS();
  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(256 * 1024, 0xFF));
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  DeepFolder deep(root_.path(), kLong, "blinky");
  deep.make_folder("build");
  deep.write("build/blinky.elf", sample("blinky.elf"));
  deep.write("build/blinky.fls", sample("blinky.fls"));
  RunResult r;
  {
    EnterFolder in(deep.fd());
    RunOptions options;
    options.cwd = ".";
    r = run({"-prj", "-nographic"}, options);
  }
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", notes(r));
  const std::vector<std::string> args = recorded_args();
  const auto kernel = std::find(args.begin(), args.end(), "-kernel");
  ASSERT_NE(args.end(), kernel);
  ASSERT_NE(args.end(), kernel + 1);
  EXPECT_EQ("./build/blinky.elf", *(kernel + 1));
  EXPECT_FALSE(loader_file(args).empty());
  // The sample firmware's first header is stored at flash offset 0xFFC0.
  const std::vector<uint8_t> fls = sample("blinky.fls");
  const std::vector<uint8_t> flash = read_bytes(bin_dir_ / "zelk.iflash");
  ASSERT_GE(flash.size(), 0xFFC0u + 64);
  EXPECT_TRUE(std::equal(fls.begin(), fls.begin() + 64, flash.begin() + 0xFFC0));
}

// A temporary directory of over 4096 characters: when it exists the raw
// image goes there and the loader names it whole, and an image that could
// not be written whole is removed from there; when it does not exist, the
// conversion reports code -8 and the launch goes on.
TEST_F(OverlongTest, DeepTemporaryDirectory) {
  SKIP_ON_WINDOWS();
  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(4096, 0xFF));
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  add_fixture_elf("blink", "app.elf");
  DeepFolder deep(root_.path(), kLong, "tmp");

  RunOptions options;
  options.env["TMPDIR"] = deep.path();
  RunResult r = run({"-elf", "app.elf"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", notes(r));
  const std::string raw = loader_file(recorded_args());
  ASSERT_GT(raw.size(), deep.path().size() + 1);
  EXPECT_EQ(deep.path() + "/", raw.substr(0, deep.path().size() + 1));
  EXPECT_EQ(208, deep.size_of(raw.substr(deep.path().size() + 1)));

  // An image cut short by a full disk is removed there too.
  const auto entries = [&] {
    const fs::path dir = "/proc/self/fd/" + std::to_string(deep.fd());
    return std::distance(fs::directory_iterator(dir), {});
  };
  ASSERT_EQ(1, entries());
  RunOptions full = options;
  full.file_size_limit = 100;
  r = run({"-elf", "app.elf"}, full);
  EXPECT_EQ(0u, r.out.find("copy cmd ret = -51\n")) << r.out;
  EXPECT_EQ(1, entries());

  options.env["TMPDIR"] = deep.path() + "/missing";
  r = run({"-elf", "app.elf"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -8\n", notes(r));
  EXPECT_TRUE(loader_file(recorded_args()).empty());
}

// The user's temporary folder named by over 4096 characters that lead
// nowhere: TMPDIR natively, the profile folder that holds AppData\Local\Temp
// on Windows. No raw image, code -8, and the launch goes on.
TEST_F(OverlongTest, HugeTemporaryFolderNameLeadingNowhere) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  std::string folder = windows() ? "C:" : "";
  while (folder.size() < kLong) folder += sep() + std::string(200, 'n');
  RunOptions options;
  options.env[windows() ? "USERPROFILE" : "TMPDIR"] = folder;
  RunResult r = run({"-elf", "app.elf"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -8\n", notes(r));
  EXPECT_TRUE(standin_ran());
  EXPECT_TRUE(loader_file(recorded_args()).empty());
}

// An ELF and a firmware file named by paths of over 4096 characters. The
// ELF path is one of the user's words, so the line is refused as too long,
// but only after the conversion wrote the raw image; the firmware path is
// not, so that launch goes on with the firmware in flash.
TEST_F(OverlongTest, DeepElfAndFirmwarePaths) {
  SKIP_ON_WINDOWS();
  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(256 * 1024, 0xFF));
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  DeepFolder deep(root_.path(), kLong, "build");
  deep.write("app.elf", fixture("blink"));
  deep.write("app.fls", sample("blinky.fls"));

  RunResult r = run({"-elf", deep.path() + "/app.elf"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("args too long\n", r.out);
  EXPECT_FALSE(standin_ran());
  ASSERT_EQ(1, std::distance(fs::directory_iterator(tmp_dir_), {}));
  EXPECT_EQ(208u, fs::file_size(fs::directory_iterator(tmp_dir_)->path()));

  add_fixture_elf("blink", "app.elf");
  r = run({"-elf", "app.elf", "-img", deep.path() + "/app.fls"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", notes(r));
  const std::vector<uint8_t> fls = sample("blinky.fls");
  const std::vector<uint8_t> flash = read_bytes(bin_dir_ / "zelk.iflash");
  ASSERT_GE(flash.size(), 0xFFC0u + 64);
  EXPECT_TRUE(std::equal(fls.begin(), fls.begin() + 64, flash.begin() + 0xFFC0));
}

// Network and UART values of thousands of characters are cut so that each
// whole argument has 127 characters; they are not in the region, so the
// line is not refused.
TEST_F(OverlongTest, HugeEthAndUartValues) {
  preseed_backing_files();
  const std::string eth(5000, 'e'), uart(5000, '7');
  RunResult r = run({"-kernel", "none.elf", "-eth", eth, "-uart", uart, "-nographic"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -1\n", notes(r));
  const std::vector<std::string> args = recorded_args();
  const std::string tap = "tap,ifname=" + eth;
  const std::string global = "zelk_uart.uart_num=" + uart;
  // "-net nic -net " and "-global " take the rest of the 127.
  EXPECT_TRUE(contains(args, tap.substr(0, 127 - 14))) << r.err.substr(0, 300);
  EXPECT_TRUE(contains(args, global.substr(0, 127 - 8))) << r.err.substr(0, 300);
}

}  // namespace
