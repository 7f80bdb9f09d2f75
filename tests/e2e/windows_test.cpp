// What only the Windows build does, shown on the .exe under Wine: its name
// and folder as Windows reports them, the current drive's root as a project
// folder, wildcard words, the line as the command interpreter hands it on,
// and the raw image in the profile's Temp folder. Skipped on the native leg.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <system_error>

#include "e2e/harness.h"

namespace {

const char kHead[] =
    "qemu-system-cskyv2 -machine zelk -name zelk_simulator -serial stdio "
    "-monitor none -parallel none ";
const char kGtk[] = "-display gtk,show-tabs=off,show-cursor=on,show-menubar=off ";
const char kLoader[] = "loader,force-raw=on,addr=0x8000000,file=";
const char kVersion[] = " v0.0.6 (QEMU V8.0.0) B20241207\n";

bool starts_with(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

class WindowsTest : public LaunchTest {
 protected:
  void SetUp() override {
    if (!windows()) GTEST_SKIP() << "the Windows build's behaviour (scripts/test-windows.sh)";
    LaunchTest::SetUp();
  }

  void TearDown() override {
    std::error_code ec;
    if (!drive_link_.empty()) fs::remove(drive_link_, ec);
    if (!drive_c_dir_.empty()) fs::remove_all(drive_c_dir_, ec);
  }

  // The backing-file arguments for files in the Windows folder |dir|, as
  // they stand on the line.
  static std::string backing_args(const std::string& dir) {
    return "-global zelk_iflash.flash=\"" + dir + "\\zelk.iflash\" " +
           "-global zelk_i2c.eeprom=\"" + dir + "\\zelk.eeprom\" ";
  }

  static std::string loader_arg(const std::string& raw_path) {
    return std::string("-device ") + kLoader + '"' + raw_path + '"';
  }

  // The raw image the stand-in was given, as the launcher named it; empty
  // when there was no loader argument.
  std::string loader_file() const {
    for (const std::string& arg : recorded_args())
      if (starts_with(arg, kLoader)) return arg.substr(sizeof kLoader - 1);
    return "";
  }

  // Copies the launcher into a new folder of drive C under |name| and
  // returns its Windows path.
  std::string install_on_drive_c(const std::string& name) {
    drive_c_dir_ = wine_prefix() / "drive_c" /
                   ("zelk_e2e_" + root_.path().filename().string());
    fs::create_directories(drive_c_dir_);
    fs::copy_file(launcher_, drive_c_dir_ / name);
    return "C:\\" + drive_c_dir_.filename().string() + "\\" + name;
  }

  // Makes a free drive letter of the prefix name |dir|; returns "X:".
  std::string map_drive(const fs::path& dir) {
    for (char letter = 'y'; letter >= 'd'; --letter) {
      const fs::path link = wine_prefix() / "dosdevices" / (std::string(1, letter) + ":");
      std::error_code ec;
      fs::create_directory_symlink(dir, link, ec);
      if (!ec) {
        drive_link_ = link;
        return std::string(1, static_cast<char>(toupper(letter))) + ":";
      }
    }
    return "";
  }

  // A project folder |dir| holding the sample's build outputs as NAME.elf
  // and NAME.fls.
  static void add_project(const fs::path& dir, const std::string& name) {
    fs::create_directories(dir / "build");
    const fs::path build = fs::path(ZELK_EXAMPLES) / "blinky" / "build";
    fs::copy_file(build / "blinky.elf", dir / "build" / (name + ".elf"));
    fs::copy_file(build / "blinky.fls", dir / "build" / (name + ".fls"));
  }

  void expect_raw_image_of(const std::string& fixture) {
    const std::string raw = loader_file();
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(read_bytes(fs::path(ZELK_FIXTURES) / "elf" / fixture / (fixture + ".bin")),
              read_bytes(host_path(raw)))
        << raw;
  }

  fs::path drive_c_dir_, drive_link_;
};

TEST_F(WindowsTest, StartedByItsWindowsPathItNamesItselfByTheLastComponent) {
  const std::string exe = install_on_drive_c("sim.exe");
  RunOptions options;
  options.word0 = exe;
  RunResult r = run({"-v"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(std::string("sim.exe") + kVersion, r.err);
  // stderr is a text stream: each line feed reaches the console as CR LF.
  EXPECT_EQ("sim.exe v0.0.6 (QEMU V8.0.0) B20241207\r\n", r.raw_err);

  r = run({"-h"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(starts_with(r.err, "sim.exe v0.0.6 (QEMU V8.0.0)\nusage: sim.exe -elf file "))
      << r.err;

  // Typed at the command prompt.
  RunOptions prompt;
  prompt.word0 = "cmd";
  r = run({"/c", exe, "-v"}, prompt);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string("sim.exe") + kVersion, r.err);
}

TEST_F(WindowsTest, BackingFilesLieBesideTheExeWhateverWord0Says) {
  const std::string exe = install_on_drive_c("sim.exe");
  const std::string dir = exe.substr(0, exe.rfind('\\'));
  fs::copy_file(fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.elf", drive_c_dir_ / "app.elf");
  // Started by its bare name from its own folder: word 0 holds no folder,
  // the module path does.
  RunOptions options;
  options.word0 = "sim.exe";
  options.cwd = drive_c_dir_;
  RunResult r = run({"-elf", "app.elf", "-nographic"}, options);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, raw_line().find(backing_args(dir))) << raw_line();
  EXPECT_EQ(134217728u, fs::file_size(drive_c_dir_ / "zelk.iflash"));
  EXPECT_EQ(32768u, fs::file_size(drive_c_dir_ / "zelk.eeprom"));
  expect_raw_image_of("blink");
}

TEST_F(WindowsTest, WorkedExampleReachesTheSimulatorCharacterForCharacter) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  write_bytes(work_dir_ / "app.fls", {});
  RunResult r = run({"-elf", "app.elf", "-img", "app.fls", "-uart", "1"});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string raw = loader_file();
  ASSERT_FALSE(raw.empty()) << r.out << r.err;
  EXPECT_EQ(kHead + backing_args(target_path(bin_dir_)) + " app.elf     " + kGtk +
                "-global zelk_uart.uart_num=1 -kernel \"app.elf\" " + loader_arg(raw),
            raw_line());
  expect_raw_image_of("blink");
}

TEST_F(WindowsTest, ProjectModeLineReachesTheSimulatorCharacterForCharacter) {
  preseed_backing_files();
  const fs::path proj = work_dir_ / "blinky";
  add_project(proj, "blinky");
  RunOptions options;
  options.cwd = proj;
  RunResult r = run({"-prj", "-nographic"}, options);
  EXPECT_EQ(0, r.status) << r.err;
  const std::string raw = loader_file();
  ASSERT_FALSE(raw.empty()) << r.out << r.err;
  EXPECT_EQ(kHead + backing_args(target_path(bin_dir_)) +
                "  -nographic -kernel \".\\build\\blinky.elf\" " + loader_arg(raw),
            raw_line());
}

TEST_F(WindowsTest, AtTheRootOfADriveTheProjectIsNamedBackslash) {
  preseed_backing_files();
  // The drive's root folder; "build\\.elf" is the file "build\.elf".
  const fs::path drive = root_.path() / "drive";
  add_project(drive, "");
  const std::string letter = map_drive(drive);
  ASSERT_FALSE(letter.empty()) << "no free drive letter in " << wine_prefix();
  RunOptions options;
  options.cwd = drive;
  RunResult r = run({"-prj", "-nographic"}, options);
  EXPECT_EQ(0, r.status) << r.err;
  const std::string raw = loader_file();
  ASSERT_FALSE(raw.empty()) << r.out << r.err;
  EXPECT_EQ(kHead + backing_args(target_path(bin_dir_)) +
                "  -nographic -kernel \".\\build\\\\.elf\" " + loader_arg(raw),
            raw_line());
  EXPECT_NE(std::string::npos, r.out.find("kernel  .\\build\\\\.elf (")) << r.out;
}

TEST_F(WindowsTest, WildcardWordsAreExpandedBeforeTheLauncherSeesThem) {
  preseed_backing_files();
  add_fixture_elf("blink", "blink.elf");
  RunResult r = run({"-elf", "*.elf", "-nographic"});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string raw = loader_file();
  ASSERT_FALSE(raw.empty()) << r.out << r.err;
  EXPECT_EQ(kHead + backing_args(target_path(bin_dir_)) +
                " blink.elf  -nographic -kernel \"blink.elf\" " + loader_arg(raw),
            raw_line());
  expect_raw_image_of("blink");
}

TEST_F(WindowsTest, TheInterpreterKeepsALineEndingInABlank) {
  // Without a loader argument the line ends with the blank after the last
  // option.
  preseed_backing_files();
  RunResult r = run({"-kernel", "none.elf"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("copy cmd ret = -1\r\n", r.raw_out);
  EXPECT_EQ(kHead + backing_args(target_path(bin_dir_)) + "-kernel none.elf " + kGtk, raw_line());
}

TEST_F(WindowsTest, RawImageGoesToTheProfilesTempFolder) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  RunResult r = run({"-elf", "app.elf", "-nographic"});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string raw = loader_file();
  ASSERT_FALSE(raw.empty()) << r.out << r.err;
  // A short name from the runtime goes under the profile; a long one is a
  // complete path already.
  const std::string temp = target_path(profile_dir_) + "\\AppData\\Local\\Temp\\";
  if (starts_with(raw, temp)) EXPECT_GE(20u, raw.size() - temp.size()) << raw;
  else EXPECT_LT(20u, raw.size()) << raw;
  RecordProperty("raw_image", raw);
  EXPECT_TRUE(fs::is_regular_file(host_path(raw))) << raw;
  expect_raw_image_of("blink");
}

// The runtime's temporary names come from the process id and a counter,
// and process ids come round again while earlier images stay. With every
// name the runtime gives the launcher's process already taken in Temp, the
// launch still converts, under a name of its own, and replaces nothing.
TEST_F(WindowsTest, RuntimeNamesAllTakenTheRawImageTakesAnOwnName) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  RunOptions options;
  options.runner_env["ZELK_WINE_RUNNER_TAKE_TEMP_NAMES"] = target_path(tmp_dir_);
  RunResult r = run({"-elf", "app.elf", "-nographic"}, options);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("stand-in")) << r.out;
  const std::string raw = loader_file();
  EXPECT_TRUE(starts_with(raw, target_path(tmp_dir_) + "\\zelk_raw_")) << raw;
  expect_raw_image_of("blink");
  size_t taken = 0;
  for (const auto& entry : fs::directory_iterator(tmp_dir_))
    if (fs::is_empty(entry.path())) ++taken;
  EXPECT_EQ(256u, taken);
}

TEST_F(WindowsTest, TheProfileVariableIsFoundInAnyLetterCase) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  for (const char* name : {"UserProfile", "userprofile"}) {
    SCOPED_TRACE(name);
    const fs::path profile = root_.path() / (std::string(name) + " home");
    fs::create_directories(profile / "AppData" / "Local" / "Temp");
    RunOptions options;
    options.env[name] = target_path(profile);
    RunResult r = run({"-elf", "app.elf", "-nographic"}, options);
    EXPECT_EQ(0, r.status) << r.err;
    const std::string raw = loader_file();
    EXPECT_TRUE(starts_with(raw, target_path(profile) + "\\AppData\\Local\\Temp\\")) << raw;
    expect_raw_image_of("blink");
  }
}

// Rule: the simulator inherits the chip's lock, which it then holds as
// long as it runs, and none of the files the launcher writes: the log and
// the report are the launcher's alone.
TEST_F(WindowsTest, TheSimulatorInheritsTheLockButNotTheLogOrTheReport) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  // The runner, installed as the simulator, lists the files it holds.
  fs::copy_file(getenv("ZELK_WINE_RUNNER"), sim_dir_ / "qemu-system-cskyv2.exe",
                fs::copy_options::overwrite_existing);
  const fs::path held = root_.path() / "held.txt";
  RunOptions options;
  options.env["ZELK_WINE_RUNNER_REPORT_HANDLES"] = target_path(held);
  RunResult r = run({"-elf", "app.elf", "-nographic", "--log", "console.txt", "--junit",
                     "report.xml"},
                    options);
  EXPECT_EQ(0, r.status) << r.err;
  const std::string files = read_text(held);
  EXPECT_NE(std::string::npos, files.find("\\zelk.lock\n")) << files;
  EXPECT_EQ(std::string::npos, files.find("console.txt")) << files;
  EXPECT_EQ(std::string::npos, files.find("report.xml")) << files;
  // The output pipe's name is one no one could guess, and no other
  // process can make a pipe of that name or connect to it.
  const std::string named = "pipe \\\\.\\pipe\\zelk_sim-";
  const size_t pipe = files.find(named);
  ASSERT_NE(std::string::npos, pipe) << files;
  const size_t at = pipe + named.size();
  const std::string rest = files.substr(at, files.find('\n', at) - at);
  EXPECT_EQ(32u, rest.find_first_not_of("0123456789abcdef")) << rest;
  EXPECT_EQ(" 0 0", rest.substr(std::min<size_t>(32, rest.size()))) << rest;
}

// A new Wine profile has no Temp folder: it is made, and the program
// loaded. A profile that names no folder gets none made.
TEST_F(WindowsTest, AProfileWithoutItsTempFolderGetsOne) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  const fs::path profile = root_.path() / "bare profile";
  fs::create_directories(profile);
  RunOptions options;
  options.env["USERPROFILE"] = target_path(profile);
  RunResult r = run({"-elf", "app.elf", "-nographic"}, options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string::npos, r.out.find("copy cmd ret")) << r.out;
  EXPECT_TRUE(starts_with(loader_file(), target_path(profile) + "\\AppData\\Local\\Temp\\"))
      << loader_file();
  expect_raw_image_of("blink");

  options.env["USERPROFILE"] = target_path(root_.path() / "no profile");
  r = run({"-elf", "app.elf", "-nographic"}, options);
  EXPECT_EQ("copy cmd ret = -8\n", r.out.substr(0, r.out.find('\n') + 1));
  EXPECT_FALSE(fs::exists(root_.path() / "no profile"));
}

// cmd.exe expands %NAME% even inside double quotes. A chip folder and an
// ELF named with %OS% reach the simulator as the launcher locked and wrote
// them, not as the folder and the ELF that %OS% expanded would name.
TEST_F(WindowsTest, PercentNamesReachTheSimulatorAsTheLauncherWroteThem) {
  add_fixture_elf("blink", "app%OS%.elf");
  add_fixture_elf("multisec", "appWindows_NT.elf");
  for (const char* dir : {"pct%OS%dir", "pctWindows_NTdir"}) fs::create_directories(work_dir_ / dir);
  RunResult r = run({"--chip-dir", "pct%OS%dir", "-elf", "app%OS%.elf", "-nographic"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  const std::string dir = target_path(work_dir_ / "pct%OS%dir");
  const std::vector<std::string> args = recorded_args();
  for (const std::string& arg : {"zelk_iflash.flash=" + dir + "\\zelk.iflash",
                                "zelk_i2c.eeprom=" + dir + "\\zelk.eeprom", std::string("app%OS%.elf")})
    EXPECT_NE(args.end(), std::find(args.begin(), args.end(), arg)) << arg << "\n" << raw_line();
  expect_raw_image_of("blink");
  EXPECT_TRUE(fs::is_empty(work_dir_ / "pctWindows_NTdir"));

  // A variable whose name holds quotes would still be expanded: refused.
  RunOptions options;
  options.env["\"Q\""] = "x";
  fs::create_directories(work_dir_ / "q%Q%dir");
  r = run({"--chip-dir", "q%Q%dir", "-elf", "app%OS%.elf", "-nographic"}, options);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("q%Q%dir\\zelk.iflash to qemu-system-cskyv2: the command "
                                          "interpreter would expand %\"Q\"% in it"))
      << r.err;
  EXPECT_TRUE(fs::is_empty(work_dir_ / "q%Q%dir"));
}

// The runtime would expand every word; the values of the launcher's own
// words are patterns and texts, never file names.
TEST_F(WindowsTest, TheLauncherOwnWordsAreNeverExpandedAsWildcards) {
  preseed_backing_files();
  add_fixture_elf("blink", "app.elf");
  write_bytes(work_dir_ / "ERROR.log", {});
  RunOptions options;
  options.env["ZELK_STANDIN_PRINT"] = "boot\\nERROR: flash\\n";
  const RunResult r = run({"-elf", "*.elf", "-nographic", "--timeout", "20", "--fail-re", "ERROR.*"}, options);
  EXPECT_EQ(1, r.status) << r.err;
  // The simulator's words are still expanded.
  EXPECT_NE(std::string::npos, raw_line().find(" app.elf  -nographic ")) << raw_line();
}

// A chip folder and an ELF named with a letter outside the ANSI code page,
// or whose path passes 260 characters, are found, written and handed to
// the simulator as they are named.
TEST_F(WindowsTest, NamesBeyondTheCodePageAndPast260CharactersAreFound) {
  const std::string zhe = "\xd0\x96", long_name(60, 'd');
  const fs::path deep = work_dir_ / ("chip" + zhe) / long_name / long_name / long_name / long_name;
  fs::create_directories(deep);
  fs::copy_file(fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.elf", deep / ("app" + zhe + ".elf"));
  add_fixture_elf("blink", "short.elf");
  ASSERT_LT(260u, target_path(deep).size());
  const struct {
    std::string chip, elf;
    fs::path chip_dir;
  } rows[] = {
      {"chip" + zhe, target_path(deep / ("app" + zhe + ".elf")), work_dir_ / ("chip" + zhe)},
      {target_path(deep), "short.elf", deep},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.chip + " " + row.elf);
    RunResult r = run({"--chip-dir", row.chip, "-elf", row.elf, "-nographic"});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(134217728u, fs::file_size(row.chip_dir / "zelk.iflash"));
    const std::vector<std::string> args = recorded_args();
    EXPECT_NE(args.end(), std::find(args.begin(), args.end(), row.elf)) << raw_line();
    expect_raw_image_of("blink");
  }
}

}  // namespace

namespace {

// Rule: for the same ELF and the same translation log, the .exe writes the
// tracefile byte for byte as the native launcher does, both of the
// simulator's log forms among the blocks.
TEST_F(WindowsTest, CoverageTracefileIsTheNativeOnesByteForByte) {
  preseed_backing_files();
  add_fixture_elf("coverage", "app.elf");
  const char kRun[] = "080000c4-080000d4,080000e2,0800007c-08000092,08000114";
  RunOptions options;
  options.env["ZELK_STANDIN_RUN"] = kRun;
  const RunResult r = run({"-elf", "app.elf", "-nographic", "--coverage", "lcov:win.info"}, options);
  EXPECT_EQ(0, r.status) << r.err;
  const fs::path native = root_.path() / "native";
  fs::create_directories(native / "chip");
  write_bytes(native / "chip" / "zelk.iflash", std::vector<uint8_t>(4096, 0xFF));
  write_bytes(native / "chip" / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
  const std::string command = "cd '" + work_dir_.string() + "' && PATH='" +
                              fs::path(ZELK_DEFAULT_STANDIN).parent_path().string() +
                              ":'\"$PATH\" TMPDIR='" + native.string() + "' ZELK_STANDIN_RUN=" + kRun +
                              " '" ZELK_DEFAULT_LAUNCHER "' -elf app.elf -nographic --chip-dir '" +
                              (native / "chip").string() + "' --coverage lcov:native.info >/dev/null 2>&1";
  ASSERT_EQ(0, system(command.c_str()));
  const std::string tracefile = read_text(work_dir_ / "win.info");
  EXPECT_NE(std::string::npos, tracefile.find("FNDA:1,called\n")) << tracefile;
  EXPECT_EQ(read_text(work_dir_ / "native.info"), tracefile);
}

}  // namespace
