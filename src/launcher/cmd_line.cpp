#include "launcher/cmd_line.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "launcher/notes.h"
#include "loading/elf2bin.h"
#include "platform/platform.h"
#include "qemu/qemu_args.h"
#include "storage/copy2flash.h"

namespace {

// What the words say; lives for one call of cmd_copy.
struct OptionState {
  bool graphic = true;
  bool expect_elf = false;
  bool expect_image = false;
  bool expect_eth = false;
  bool expect_uart = false;
  bool project = false;
  std::optional<std::string> elf_path;
  std::optional<std::string> image_path;
  std::optional<std::string> eth_name;
  std::optional<std::string> uart_num;
};

// Classifies one word. Option words are tested before pending values, so a
// value never swallows an option. Returns true when the word is to be copied
// into the region.
bool take_word(const char* word, OptionState* s) {
  auto is = [word](const char* option) { return strcmp(word, option) == 0; };
  if (is("-elf")) return false;
  if (is("-img")) { s->expect_image = true; return false; }
  if (is("-nographic")) { s->graphic = false; return false; }
  if (is("-eth")) { s->expect_eth = true; return false; }
  if (is("-uart")) { s->expect_uart = true; return false; }
  if (is("-prj")) { s->project = true; return false; }
  if (s->expect_image) { s->expect_image = false; s->image_path = word; return false; }
  if (s->expect_eth) { s->expect_eth = false; s->eth_name = word; return false; }
  if (s->expect_uart) { s->expect_uart = false; s->uart_num = word; return false; }
  return true;
}

std::string project_file(const std::string& name, const char* extension) {
  return std::string(".") + kPathSeparator + "build" + kPathSeparator + name +
         extension;
}

}  // namespace

size_t prefix_args(std::string* cmd, const BackingFiles& files) {
  cmd->assign(kQemuExecutable);
  cmd->push_back(' ');
  space_strcat(cmd, kQemuMachineOption);
  space_strcat(cmd, kQemuMachine);
  space_strcat(cmd, kQemuFixedOptions);
  print_preparation(prefix_args_file(cmd, files));
  return cmd->size();
}

size_t cmd_copy(int argc, char** argv, std::string* cmd) {
  // Nothing lies beyond the write position while the words are copied, so
  // the region is written by appending.
  OptionState s;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (take_word(word, &s)) cmd->append(word);
    if (s.expect_elf) {
      s.expect_elf = false;
      s.elf_path = word;
    }
    cmd->push_back(' ');
    if (strcmp(word, "-elf") == 0) s.expect_elf = true;
  }
  const size_t region_end = cmd->size();

  space_strcat(cmd, s.graphic ? kQemuDisplayGtk : kQemuNoGraphic);
  if (s.eth_name) space_strcat(cmd, qemu_net_arg(*s.eth_name));
  if (s.uart_num) space_strcat(cmd, qemu_uart_arg(*s.uart_num));
  if (s.project) {
    // A directory that cannot be read gives an empty path, whose last
    // component is ".".
    std::string cwd;
    current_directory(&cwd);
    const std::string name = last_path_component(cwd);
    s.elf_path = project_file(name, ".elf");
    s.image_path = project_file(name, ".fls");
  }
  if (s.elf_path) {
    space_strcat(cmd, kQemuKernelOption);
    space_strcat(cmd, qemu_quoted(*s.elf_path));
  }
  int ret = elf2bin(s.elf_path ? s.elf_path->c_str() : nullptr, cmd);
  if (ret != 0) printf("copy cmd ret = %d\n", ret);
  if (s.image_path)
    print_copy(copy2flash(s.image_path->c_str(), flash_file ? flash_file->c_str() : ""));
  return region_end;
}
