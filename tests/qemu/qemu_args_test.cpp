#include "qemu/qemu_args.h"

#include <gtest/gtest.h>

#include "platform/interpreter_rules.h"
#include "platform/bound_command.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

// Rule: inside its double quotes a path keeps every character; for /bin/sh
// a backslash goes before \, ", $ and backquote, which it would still read
// there; cmd.exe gets the path as it is, each run of % outside the quotes. A bare word is quoted only where
// the interpreter would act on something in it. Only the loader's file
// value doubles its commas, QEMU's escape in an option list.
TEST(QemuArgsTest, PathsAreQuotedForTheInterpreterAndTheLoaderDoublesCommas) {
  const struct {
    std::string path, posix, windows;
    bool posix_bare, windows_bare;  // as a bare word, left as it is
  } cases[] = {
      {"/opt/zelk/zelk.iflash", R"("/opt/zelk/zelk.iflash")", R"("/opt/zelk/zelk.iflash")", true, true},
      {"D:\\sim\\zelk.eeprom", R"("D:\\sim\\zelk.eeprom")", R"("D:\sim\zelk.eeprom")", false, true},
      {"p`touch X`q", R"("p\`touch X\`q")", R"("p`touch X`q")", false, false},
      {"$HOME/t m,p", R"("\$HOME/t m,p")", R"("$HOME/t m,p")", false, false},
      {"a\"b", R"("a\"b")", R"("a"b")", false, false},
      {"%TEMP%\\it's;&|<>!*?", R"("%TEMP%\\it's;&|<>!*?")", R"(""%"TEMP"%"\it's;&|<>!*?")", false, false},
      {"", R"("")", R"("")", false, false},
      {"app;touch INJECTED.elf", R"("app;touch INJECTED.elf")", R"("app;touch INJECTED.elf")", false, false},
      {"a&echo.elf", R"("a&echo.elf")", R"("a&echo.elf")", false, false},
      {"$(id)~#{a,b}*.elf", R"("\$(id)~#{a,b}*.elf")", R"("$(id)~#{a,b}*.elf")", false, false},
      {"b-1_2+3/x,y:z@w=v%u^t.elf", R"("b-1_2+3/x,y:z@w=v%u^t.elf")", R"("b-1_2+3/x,y:z@w=v"%"u^t.elf")", true, false},
      {"\xc3\xa9t\xc3\xa9/app.elf", "\"\xc3\xa9t\xc3\xa9/app.elf\"", "\"\xc3\xa9t\xc3\xa9/app.elf\"", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.posix, posix_sh_quoted(c.path));
    EXPECT_EQ(c.windows, windows_cmd_quoted(c.path));
    EXPECT_EQ(c.posix_bare ? c.path : c.posix, posix_sh_word(c.path));
    EXPECT_EQ(c.windows_bare ? c.path : c.windows, windows_cmd_word(c.path));
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
  for (const std::string text :
       {"p`touch X`q", "$HOME \"$(id)\" \\$x \\", "a\nb\\\nc", "'", "a;touch X&", "my app"}) {
    for (auto* word : {interpreter_quoted, interpreter_word}) {
      SCOPED_TRACE(text);
      BoundCommand command;
      ASSERT_TRUE(command.start("printf %s " + word(text) + " > " + word(out.string()), {}));
      while (command.wait(-1, nullptr, 0, nullptr) != BoundCommand::Event::kEnded) {
      }
      EXPECT_EQ(text, read_text(out));
    }
  }
  EXPECT_FALSE(fs::exists("X"));
}

}  // namespace

namespace {

// A user's -d keeps what it asks for, the translation log added once.
TEST(QemuArgsTest, TranslationLogJoinsAUsersLogItems) {
  const std::pair<const char*, const char*> rows[] = {
      {"int", "int,in_asm"},       {"in_asm", "in_asm"},        {"int,in_asm,exec", "int,in_asm,exec"},
      {"", "in_asm"},              {"in_asm_x", "in_asm_x,in_asm"}, {"xin_asm", "xin_asm,in_asm"}};
  for (const auto& [value, expected] : rows) EXPECT_EQ(expected, qemu_log_with_translation(value)) << value;
  EXPECT_TRUE(is_qemu_option("--d", kQemuLogOption));
  EXPECT_FALSE(is_qemu_option("-dfilter", kQemuLogOption));
}

}  // namespace
