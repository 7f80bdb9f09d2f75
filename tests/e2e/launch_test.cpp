// The launcher run as a process: texts, the line the simulator receives,
// the length test and the exit status.
#include "e2e/harness.h"

namespace {

std::string launcher_name() {
  return fs::path(launcher_under_test()).filename().string();
}

std::string usage_text(const std::string& name) {
  return name + " v0.0.6 (QEMU V8.0.0)\nusage: " + name +
         " -elf file -img file [options]\n\nOptions:\n"
         "-h or -help     display this help and exit\n"
         "-version        display version information and exit\n"
         "-elf file       use 'file' as elf file\n"
         "-img file       use '.fls file' as firmware file\n"
         "-prj            specifies use current project elf and img (optional)\n"
         "-eth name       enable ethernet by use bridge tap interface name (optional)\n"
         "-uart num       specifies which serial port to use for log output (optional)\n\n"
         "Run control, for tests and CI (exit status 0 pass, 1 fail, 124 timeout,\n";
}

std::string version_text(const std::string& name) {
  return name + " v0.0.6 (QEMU V8.0.0) B20241207\n";
}

const std::vector<std::string> kHead = {
    "-machine", "zelk", "-name", "zelk_simulator", "-serial", "stdio",
    "-monitor", "none", "-parallel", "none"};
const char kGtk[] = "gtk,show-tabs=off,show-cursor=on,show-menubar=off";

class LauncherTest : public LaunchTest {
 protected:
  std::vector<std::string> head() const {
    std::vector<std::string> args = kHead;
    args.insert(args.end(), {"-global", "zelk_iflash.flash=" + target_path(bin_dir_) + sep() + "zelk.iflash",
                             "-global", "zelk_i2c.eeprom=" + target_path(bin_dir_) + sep() + "zelk.eeprom"});
    return args;
  }
};

TEST_F(LauncherTest, TextsAndNoLaunchWithoutALaunchWord) {
  const std::string name = launcher_name();
  const struct {
    std::vector<std::string> words;
    bool version;
  } cases[] = {
      {{}, false},
      {{"-elf", "app.elf", "-v"}, true},
      {{"-prj", "-h"}, false},
      {{"-elf", "-h"}, false},
      {{"-uart", "-v"}, true},
      {{"-img", "app.fls"}, false},
      {{"-nographic"}, false},
      {{"--help"}, false},
      {{"--version", "-h"}, true},
  };
  for (const auto& c : cases) {
    RunResult r = run(c.words);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    // The launcher's own words are listed below the lines it always had.
    const std::string want = c.version ? version_text(name) : usage_text(name);
    EXPECT_EQ(want, r.err.substr(0, want.size()));
    EXPECT_FALSE(standin_ran());
  }
  // Nothing was created: no backing files, no lock, no raw image.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(bin_dir_), {}));
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
}

TEST_F(LauncherTest, WorkedExampleReachesTheSimulator) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  write_bytes(work_dir_ / "app.fls", {});
  RunResult r = run({"-elf", "app.elf", "-img", "app.fls", "-uart", "1"});
  EXPECT_EQ(0, r.status) << r.err;
  std::vector<std::string> want = head();
  want.insert(want.end(), {"app.elf", "-display", kGtk, "-global", "zelk_uart.uart_num=1",
                           "-kernel", "app.elf", "-device"});
  std::vector<std::string> got = recorded_args();
  ASSERT_EQ(want.size() + 1, got.size()) << r.out << r.err;
  EXPECT_EQ(want, std::vector<std::string>(got.begin(), got.end() - 1));
  EXPECT_EQ(0u, got.back().find("loader,force-raw=on,addr=0x8000000,file=")) << got.back();
  EXPECT_NE(std::string::npos, r.out.find("stand-in")) << r.out;
}

TEST_F(LauncherTest, ProjectModeReadsTheBuildFolder) {
  preseed_backing_files();
  const fs::path proj = work_dir_ / "blinky";
  fs::create_directories(proj / "build");
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.elf", proj / "build" / "blinky.elf");
  fs::copy_file(fs::path(ZELK_EXAMPLES) / "blinky" / "build" / "blinky.fls", proj / "build" / "blinky.fls");
  RunOptions options;
  options.cwd = proj;
  RunResult r = run({"-prj", "-nographic", "-eth", "tap0"}, options);
  EXPECT_EQ(0, r.status) << r.err;
  const std::string elf = std::string(".") + sep() + "build" + sep() + "blinky.elf";
  std::vector<std::string> want = head();
  want.insert(want.end(), {"-nographic", "-net", "nic", "-net", "tap,ifname=tap0", "-kernel", elf, "-device"});
  std::vector<std::string> got = recorded_args();
  ASSERT_EQ(want.size() + 1, got.size()) << r.out << r.err;
  EXPECT_EQ(want, std::vector<std::string>(got.begin(), got.end() - 1));
}

TEST_F(LauncherTest, TooLongLineIsRefusedAfterAssembly) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  // The head is well under 1024 characters; one long word takes the
  // region past the limit.
  RunResult r = run({"-elf", "app.elf", std::string(1000, 'x')});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("args too long\n", r.out);
  EXPECT_FALSE(standin_ran());
  // The raw image of that run was written all the same.
  EXPECT_FALSE(fs::is_empty(tmp_dir_));
}

TEST_F(LauncherTest, SimulatorOutcomeDoesNotChangeTheStatus) {
  preseed_backing_files();
  // Missing from the search path.
  RunOptions options;
  options.put_standin_on_path = false;
  RunResult r = run({"-kernel", "none.elf"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -1\n", r.out);
  EXPECT_FALSE(standin_ran());
  // Present but refusing the line: an unknown option, a missing kernel.
  r = run({"-kernel", "none.elf", "-foo"});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(standin_ran());
  EXPECT_NE(std::string::npos, r.err.find("qemu-system-cskyv2: ")) << r.err;
}

}  // namespace
