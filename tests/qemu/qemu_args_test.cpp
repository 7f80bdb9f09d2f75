#include "qemu/qemu_args.h"

#include <gtest/gtest.h>

#include "platform/interpreter_rules.h"
#include "platform/bound_command.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

// Rule: inside its double quotes a path keeps every character; for /bin/sh
// a backslash goes before \, ", $ and backquote, which it would still read
// there; cmd.exe gets the path as it is. Only the loader's file value
// doubles its commas, QEMU's escape in an option list.
TEST(QemuArgsTest, PathsAreQuotedForTheInterpreterAndTheLoaderDoublesCommas) {
  const struct {
    std::string path, posix, windows;
  } cases[] = {
      {"/opt/zelk/zelk.iflash", R"("/opt/zelk/zelk.iflash")", R"("/opt/zelk/zelk.iflash")"},
      {"D:\\sim\\zelk.eeprom", R"("D:\\sim\\zelk.eeprom")", R"("D:\sim\zelk.eeprom")"},
      {"p`touch X`q", R"("p\`touch X\`q")", R"("p`touch X`q")"},
      {"$HOME/t m,p", R"("\$HOME/t m,p")", R"("$HOME/t m,p")"},
      {"a\"b", R"("a\"b")", R"("a"b")"},
      {"%TEMP%\\it's;&|<>!*?", R"("%TEMP%\\it's;&|<>!*?")", R"("%TEMP%\it's;&|<>!*?")"},
      {"", R"("")", R"("")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.posix, posix_sh_quoted(c.path));
    EXPECT_EQ(c.windows, windows_cmd_quoted(c.path));
    EXPECT_EQ("zelk_iflash.flash=" + interpreter_quoted(c.path), qemu_flash_value(c.path));
    EXPECT_EQ("zelk_i2c.eeprom=" + interpreter_quoted(c.path), qemu_eeprom_value(c.path));
  }
  EXPECT_EQ("-device loader,force-raw=on,addr=0x8000000,file=" +
                interpreter_quoted("/t m,,p/,,,,raw"),
            qemu_loader_arg(0x08000000, "/t m,p/,,raw"));
  EXPECT_EQ("-device loader,force-raw=on,addr=0x0,file=" + interpreter_quoted("C:\\x"),
            qemu_loader_arg(0, "C:\\x"));
}

// Rule: the platform's own interpreter hands a quoted word on literally.
TEST(QemuArgsTest, TheInterpreterGivesBackWhatWasQuoted) {
  if (kPathSeparator == '\\') GTEST_SKIP() << "cmd.exe offers no escape to test";
  ScopedTempDir dir;
  const fs::path out = dir.path() / "out.txt";
  for (const std::string text : {"p`touch X`q", "$HOME \"$(id)\" \\$x \\", "a\nb\\\nc", "'"}) {
    SCOPED_TRACE(text);
    BoundCommand command;
    ASSERT_TRUE(command.start("printf %s " + interpreter_quoted(text) + " > " +
                                  interpreter_quoted(out.string()),
                              {}));
    while (command.wait(-1, nullptr, 0, nullptr) != BoundCommand::Event::kEnded) {
    }
    EXPECT_EQ(text, read_text(out));
  }
  EXPECT_FALSE(fs::exists("X"));
}

}  // namespace
