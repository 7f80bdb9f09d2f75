// The launcher's own command line run by a real QEMU: qemu-system-arm's
// netduino2 board (an STM32F205, flash at 0x08000000 like zelk's) takes the
// place of the zelk machine through a wrapper under the simulator's name.
// The qemu_check firmware prints its line on the serial port only when its
// flash constants and .data initial values are where the raw image put
// them, so the line shows that QEMU parsed the loader argument as meant
// and loaded the right bytes to the right place.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "coverage/line_map.h"
#include "e2e/harness.h"

namespace {

const char kSuccessLine[] = "zelk check: flash and .data in place\n";

// The zelk machine becomes netduino2 through the wrapper under the
// simulator's name, shipped in standin/netduino2.
const char kWrapper[] = ZELK_SOURCE_DIR "/standin/netduino2/qemu-system-cskyv2";

std::string search_path() {
  const char* value = getenv("PATH");
  return value ? value : "";
}

bool on_path(const std::string& name) {
  const std::string path = search_path();
  for (size_t pos = 0; pos <= path.size();) {
    size_t end = path.find(':', pos);
    if (end == std::string::npos) end = path.size();
    const std::string dir = end > pos ? path.substr(pos, end - pos) : ".";
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    pos = end + 1;
  }
  return false;
}

class RealQemuTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    if (windows()) GTEST_SKIP() << "the wrapper is a POSIX shell script; no QEMU under Wine";
    if (!on_path("qemu-system-arm"))
      GTEST_SKIP() << "qemu-system-arm is not on PATH (Debian package qemu-system-arm)";
    const fs::path wrapper_dir = root_.path() / "qemu";
    fs::create_directories(wrapper_dir);
    fs::copy_file(kWrapper, wrapper_dir / "qemu-system-cskyv2");
    fs::permissions(wrapper_dir / "qemu-system-cskyv2", fs::perms::owner_all);
    preseed_backing_files();
    add_fixture_elf("qemu_check", "app.elf");
    options_.put_standin_on_path = false;
    options_.env["PATH"] = wrapper_dir.string() + ":" + search_path();
  }
  // The firmware's semihosting command line: "loop", "exitN" or nothing.
  static std::vector<std::string> words(const std::string& firmware_asks) {
    return {"-elf", "app.elf", "-nographic", "-semihosting-config",
            "enable=on,target=native,arg=" + firmware_asks};
  }
  RunOptions options_;
};

// Rule: the line the launcher builds, run by /bin/sh, is one QEMU starts
// from: pass-through words arrive as given and the loader argument names
// the raw image in $TMPDIR whatever that folder's name holds, so the
// firmware finds itself loaded.
TEST_F(RealQemuTest, FirmwareFindsItselfLoaded) {
  // The second name holds what a shell or QEMU's option parser would take
  // apart: a blank, a comma (QEMU's separator between properties) and a
  // variable that is set.
  for (const char* tmp_name : {"plain", "t m,p$HOME"}) {
    SCOPED_TRACE(tmp_name);
    const fs::path tmp = root_.path() / tmp_name;
    fs::create_directories(tmp);
    RunOptions options = options_;
    options.env["TMPDIR"] = tmp.string();
    options.env["HOME"] = work_dir_.string();
    RunResult r = run(words("none"), options);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find(kSuccessLine))
        << "stdout:\n" << r.out << "stderr:\n" << r.err;
    EXPECT_FALSE(fs::is_empty(tmp)) << "the raw image goes to TMPDIR";
  }
}

// Rule: through the launcher's whole line, the run-control words judge a
// real QEMU run: the expected text ends QEMU at once, a fail text fails,
// the timeout ends a firmware that runs on, and with --status the guest's
// own status comes out; whatever the launcher ends leaves no QEMU behind.
TEST_F(RealQemuTest, RunControlJudgesARealRun) {
  const struct {
    std::string firmware_asks;
    std::vector<std::string> control;
    int status;
  } cases[] = {
      {"loop", {"--expect", "flash and .data in place", "--junit", "report.xml"}, 0},
      {"loop", {"--expect", "never printed", "--fail", "looping"}, 1},
      {"loop", {"--timeout", "2", "--junit", "report.xml"}, 124},
      {"exit3", {"--status"}, 3},
      {"exit0", {"--status", "--expect", "never"}, 1},
      // A console answered through QEMU's serial input.
      {"login",
       {"--expect", "login: ", "--send", "root", "--expect", "hello, root", "--send", "exit",
        "--status", "--junit", "report.xml"},
       0},
      {"login",
       {"--expect", "login: ", "--send", "rot", "--expect", "hello, root", "--timeout", "3",
        "--junit", "report.xml"},
       124},
      // Unit tests reported as Unity does: all pass, one fails, one faults.
      {"casesok", {"--cases", "unity", "--status", "--junit", "report.xml"}, 0},
      {"casesfail", {"--cases", "unity", "--status", "--junit", "report.xml"}, 1},
      {"casescrash", {"--cases", "unity", "--status", "--junit", "report.xml"}, 1},
      // No semihosting words: the wrapper turns it on, and the firmware's
      // exit through it is its status.
      {"", {"--status", "--junit", "report.xml"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firmware_asks + " " + c.control[0]);
    std::vector<std::string> all = words(c.firmware_asks);
    if (c.firmware_asks.empty()) all.resize(3);
    all.insert(all.end(), c.control.begin(), c.control.end());
    const auto started = std::chrono::steady_clock::now();
    RunResult r = run(all, options_);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(c.status, r.status) << r.out << r.err;
    // Ended as soon as its text is seen, the firmware may not have sent
    // the line's end.
    EXPECT_NE(std::string::npos, r.out.find("flash and .data in place")) << r.out;
    EXPECT_TRUE(processes_naming(target_path(tmp_dir_)).empty()) << "a QEMU was left running";
    if (c.control.back() == "report.xml") {
      EXPECT_TRUE(junit_parser_reads(work_dir_ / "report.xml")) << read_text(work_dir_ / "report.xml");
    }
    if (c.firmware_asks == "casescrash") {
      EXPECT_NE(std::string::npos, r.err.find("zelk_sim: 2 cases: 2 passed, 0 failed, 0 skipped\n"
                                              "zelk_sim: ended after data_words, in checksum: the "
                                              "simulator ended with status 1 after "))
          << r.err;
    }
    if (c.firmware_asks == "login") {
      // The report names every step, and where the conversation stopped.
      const std::string report = read_text(work_dir_ / "report.xml");
      EXPECT_NE(std::string::npos, report.find("sent &quot;r"));
      EXPECT_NE(std::string::npos,
                report.find(c.status == 0 ? "sent &quot;exit&quot;"
                                          : "timeout after 3 s before &quot;hello, root&quot; was "
                                            "seen, after sending &quot;rot&quot;"))
          << report;
    }
  }
}

// Rule: a launcher killed outright takes QEMU with it, and the next
// launch gets the chip.
TEST_F(RealQemuTest, KilledLauncherTakesQemuWithIt) {
  Started started = start(words("loop"), options_);
  ASSERT_TRUE(wait_for_output(&started, "looping"));
  kill_launcher(started);
  finish(started);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!processes_naming(target_path(tmp_dir_)).empty() &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(processes_naming(target_path(tmp_dir_)).empty()) << "a QEMU was left running";
  // The guardian lets go of the chip just after.
  RunResult r;
  for (int tries = 0; tries < 100; ++tries) {
    r = run(words("exit0"), options_);
    if (r.status != 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find(kSuccessLine)) << r.out;
}

// Rule: with --gdb QEMU holds the guest before its first instruction until
// a debugger attached to the port the launcher names lets it go: Debian's
// gdb-multiarch reads the PC there (in the flash window) and continues, and
// the guest's exit status comes back through --status.
TEST_F(RealQemuTest, DebuggerAttachesToTheNamedPort) {
  if (!on_path("gdb-multiarch")) GTEST_SKIP() << "gdb-multiarch is not on PATH (Debian package gdb-multiarch)";
  std::vector<std::string> all = words("exit3");
  all.insert(all.end(), {"--gdb", "auto", "--status", "--timeout", "30"});
  const Started started = start(all, options_);
  const std::string kWaiting = "zelk_sim: waiting for a debugger on localhost:";
  std::string err;
  for (int tries = 0; tries < 400 && err.find('\n') == std::string::npos; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    err = read_text(started.err);
  }
  ASSERT_EQ(0u, err.find(kWaiting)) << err;
  const std::string port = err.substr(kWaiting.size(), err.find('\n') - kWaiting.size());
  const std::string gdb = "timeout 30 gdb-multiarch -batch -nx -ex 'target remote localhost:" +
                          port + "' -ex 'info registers pc' -ex continue 2>&1";
  std::string said;
  FILE* pipe = popen(gdb.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  char piece[4096];
  while (size_t n = fread(piece, 1, sizeof piece, pipe)) said.append(piece, n);
  EXPECT_EQ(0, pclose(pipe)) << said;
  EXPECT_NE(std::string::npos, said.find("pc             0x80")) << said;
  EXPECT_NE(std::string::npos, said.find("exited with code 03")) << said;
  RunResult r = finish(started);
  EXPECT_EQ(3, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find(kSuccessLine)) << r.out;
}

// Rule: four launches from one installation, each with a chip folder of
// its own, run their QEMUs side by side and all boot.
TEST_F(RealQemuTest, FourChipsSideBySide) {
  std::vector<Started> runs;
  for (int i = 0; i < 4; ++i) {
    const std::string chip = "chip" + std::to_string(i);
    fs::create_directories(work_dir_ / chip);
    write_bytes(work_dir_ / chip / "zelk.iflash", std::vector<uint8_t>(4096, 0xFF));
    write_bytes(work_dir_ / chip / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
    std::vector<std::string> all = words("loop");
    all.insert(all.end(), {"--chip-dir", chip, "--expect", "looping"});
    runs.push_back(start(all, options_));
  }
  for (const Started& started : runs) {
    RunResult r = finish(started);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(kSuccessLine)) << r.out;
  }
  EXPECT_TRUE(processes_naming(target_path(tmp_dir_)).empty()) << "a QEMU was left running";
}

// The output of |command| run by the shell, its standard error with it.
std::string shell_output(const std::string& command) {
  std::string said;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return "cannot run " + command;
  char piece[4096];
  while (size_t n = fread(piece, 1, sizeof piece, pipe)) said.append(piece, n);
  if (pclose(pipe) != 0) said += "\n(failed: " + command + ")";
  return said;
}

// The lines of |map| that the instructions of the blocks QEMU's log at
// |log| executed ("-d exec,nochain,in_asm": every block run, each time it
// runs) belong to.
std::set<uint32_t> executed_lines(const fs::path& log, LineMap map) {
  std::map<uint64_t, std::vector<uint64_t>> blocks;
  std::vector<uint64_t>* block = nullptr;
  std::set<uint64_t> executed;
  const std::regex trace(R"(^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/)");
  for (const std::string& line : split_lines(read_text(log))) {
    std::smatch m;
    if (line.compare(0, 3, "IN:") == 0) {
      block = nullptr;
    } else if (line.compare(0, 2, "0x") == 0) {
      const uint64_t addr = std::stoull(line.substr(2), nullptr, 16);
      if (!block) block = &blocks[addr];
      block->push_back(addr);
    } else if (std::regex_search(line, m, trace)) {
      executed.insert(std::stoull(m[1].str(), nullptr, 16));
    }
  }
  for (uint64_t pc : executed)
    for (uint64_t addr : blocks[pc]) map.mark(addr, addr + 1);
  std::set<uint32_t> lines;
  for (const SourceLine& l : map.lines)
    if (l.reached) lines.insert(l.line);
  return lines;
}

// Rule: the coverage of a real run shows exactly what the firmware's source
// says ran: the called function, not the other, the if without its else,
// the loop; genhtml renders the tracefile without a word, the Cobertura
// report is valid and agrees; and every line that QEMU's log of executed
// blocks reaches is reached in the report, and nothing more.
TEST_F(RealQemuTest, CoverageOfARealRun) {
  add_fixture_elf("coverage", "cov.elf");
  fs::copy_file(fs::path(ZELK_FIXTURES) / "elf" / "coverage" / "main.c", work_dir_ / "main.c");
  const RunResult r = run({"-elf", "cov.elf", "-nographic", "-semihosting", "--coverage", "lcov:cov.info",
                           "--coverage", "cobertura:cov.xml", "--coverage-strip", "/firmware/coverage"},
                          options_);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("coverage: the if ran")) << r.out;
  EXPECT_NE(std::string::npos, r.err.find("zelk_sim: coverage: 21 of 31 lines (67.7%), 5 of 7 functions\n"))
      << r.err;
  // Hit: uart_puts 33-37, called 40-42, semihosting_exit up to its
  // breakpoint 50-53, main's loop and if 57-62 and 65, Reset_Handler's
  // call 70-71. Not hit: never_called 45-47, what follows the exit (54,
  // 66, 67, 72), the else 64, Default_Handler 77-78.
  std::string found;
  for (const std::string& line : split_lines(read_text(work_dir_ / "cov.info")))
    if (line.compare(0, 3, "DA:") == 0 || line.compare(0, 5, "FNDA:") == 0) found += line + " ";
  EXPECT_EQ(found,
            "FNDA:1,uart_puts FNDA:1,called FNDA:0,never_called FNDA:1,semihosting_exit FNDA:1,main "
            "FNDA:1,Reset_Handler FNDA:0,Default_Handler "
            "DA:33,1 DA:34,1 DA:35,1 DA:36,1 DA:37,1 DA:40,1 DA:41,1 DA:42,1 DA:45,0 DA:46,0 DA:47,0 "
            "DA:50,1 DA:51,1 DA:52,1 DA:53,1 DA:54,0 DA:57,1 DA:58,1 DA:59,1 DA:60,1 DA:61,1 DA:62,1 "
            "DA:64,0 DA:65,1 DA:66,0 DA:67,0 DA:70,1 DA:71,1 DA:72,0 DA:77,0 DA:78,0 ");
  EXPECT_EQ("", shell_output("cd '" + work_dir_.string() + "' && genhtml -q -o html cov.info"));
  EXPECT_TRUE(fs::exists(work_dir_ / "html" / "index.html"));
  const fs::path dtd = fs::path(ZELK_FIXTURES) / "cobertura" / "coverage-04.dtd";
  EXPECT_EQ("", shell_output("xmllint --noout --dtdvalid '" + dtd.string() + "' '" +
                             (work_dir_ / "cov.xml").string() + "'"));
  const std::string xml = read_text(work_dir_ / "cov.xml");
  EXPECT_NE(std::string::npos, xml.find("lines-covered=\"21\" lines-valid=\"31\""));
  const std::regex file_line("\n {12}<line number=\"\\d+\" hits=\"1\"");
  EXPECT_EQ(21, std::distance(std::sregex_iterator(xml.begin(), xml.end(), file_line), std::sregex_iterator()));

  // The reference: QEMU run alone on the same ELF, logging every block it
  // executes, mapped through the same line table.
  shell_output("cd '" + work_dir_.string() +
               "' && timeout 20 qemu-system-arm -machine netduino2 -nographic -monitor none -serial null "
               "-semihosting -kernel cov.elf -d exec,nochain,in_asm -D ref.log");
  const std::vector<uint8_t> elf = read_bytes(work_dir_ / "cov.elf");
  LineMap map;
  std::string problem;
  ASSERT_EQ(LineMapResult::kOk, read_line_map(elf.data(), elf.size(), "", &map, &problem));
  const std::set<uint32_t> reference = executed_lines(work_dir_ / "ref.log", map);
  std::set<uint32_t> reported;
  for (const std::string& line : split_lines(read_text(work_dir_ / "cov.info")))
    if (line.compare(0, 3, "DA:") == 0 && line.back() == '1')
      reported.insert(static_cast<uint32_t>(std::stoul(line.substr(3))));
  EXPECT_EQ(reference, reported);
}

}  // namespace
