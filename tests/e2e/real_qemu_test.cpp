// The launcher's own command line run by a real QEMU: qemu-system-arm's
// netduino2 board (an STM32F205, flash at 0x08000000 like zelk's) takes the
// place of the zelk machine through a wrapper under the simulator's name.
// The qemu_check firmware prints its line on the serial port only when its
// flash constants and .data initial values are where the raw image put
// them, so the line shows that QEMU parsed the loader argument as meant
// and loaded the right bytes to the right place.
#include <unistd.h>

#include <cstdlib>

#include "e2e/harness.h"

namespace {

const char kSuccessLine[] = "zelk check: flash and .data in place\n";

// The zelk machine becomes netduino2. -kernel goes: QEMU will not start
// when the ELF's segments overlap the loader's image. Every other word reaches QEMU
// exactly as the launcher's shell split it. The timeout bounds a firmware
// that never reaches its semihosting exit.
const char kWrapper[] = R"(#!/bin/sh
state=
for a do
  shift
  case $state in
    kernel) state=; continue ;;
    machine) state=; [ "$a" = zelk ] && a=netduino2 ;;
    *)
      case $a in
        -kernel) state=kernel; continue ;;
        -machine) state=machine ;;
      esac ;;
  esac
  set -- "$@" "$a"
done
exec timeout -k 1 5 qemu-system-arm "$@"
)";

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

using RealQemuTest = LaunchTest;

// Rule: the line the launcher builds, run by /bin/sh, is one QEMU starts
// from: pass-through words arrive as given and the loader argument names
// the raw image in $TMPDIR whatever that folder's name holds, so the
// firmware finds itself loaded.
TEST_F(RealQemuTest, FirmwareFindsItselfLoaded) {
  if (windows()) GTEST_SKIP() << "the wrapper is a POSIX shell script; no QEMU under Wine";
  if (!on_path("qemu-system-arm"))
    GTEST_SKIP() << "qemu-system-arm is not on PATH (Debian package qemu-system-arm)";

  const fs::path wrapper_dir = root_.path() / "qemu";
  fs::create_directories(wrapper_dir);
  write_text(wrapper_dir / "qemu-system-cskyv2", kWrapper);
  fs::permissions(wrapper_dir / "qemu-system-cskyv2", fs::perms::owner_all);
  preseed_backing_files();
  add_fixture_elf("qemu_check", "app.elf");

  // The second name holds what a shell or QEMU's option parser would take
  // apart: a blank, a comma (QEMU's separator between properties) and a
  // variable that is set.
  for (const char* tmp_name : {"plain", "t m,p$HOME"}) {
    SCOPED_TRACE(tmp_name);
    const fs::path tmp = root_.path() / tmp_name;
    fs::create_directories(tmp);
    RunOptions options;
    options.put_standin_on_path = false;
    options.env["PATH"] = wrapper_dir.string() + ":" + search_path();
    options.env["TMPDIR"] = tmp.string();
    options.env["HOME"] = work_dir_.string();
    RunResult r = run({"-elf", "app.elf", "-nographic", "-semihosting"}, options);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find(kSuccessLine))
        << "stdout:\n" << r.out << "stderr:\n" << r.err;
    EXPECT_FALSE(fs::is_empty(tmp)) << "the raw image goes to TMPDIR";
  }
}

}  // namespace
