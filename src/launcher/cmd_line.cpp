#include "launcher/cmd_line.h"

#include "qemu/qemu_args.h"

std::string prefix_args(const BackingFiles& files) {
  std::string cmd = kQemuExecutable;
  cmd.push_back(' ');
  space_strcat(&cmd, kQemuMachineOption);
  space_strcat(&cmd, kQemuMachine);
  space_strcat(&cmd, kQemuFixedOptions);
  space_strcat(&cmd, kQemuGlobalOption);
  space_strcat(&cmd, qemu_flash_value(files.flash));
  space_strcat(&cmd, kQemuGlobalOption);
  space_strcat(&cmd, qemu_eeprom_value(files.eeprom));
  return cmd;
}

CommandLine cmd_copy(const Request& r, const std::string& head, const RawImage* raw) {
  CommandLine line;
  line.text = head + r.region;
  line.region_end = line.text.size();
  std::string* cmd = &line.text;
  space_strcat(cmd, r.graphic ? kQemuDisplayGtk : kQemuNoGraphic);
  if (r.eth_name) space_strcat(cmd, qemu_net_arg(*r.eth_name));
  if (r.uart_num) space_strcat(cmd, qemu_uart_arg(*r.uart_num));
  if (r.gdb_port) space_strcat(cmd, qemu_gdb_arg(*r.gdb_port));
  if (!r.coverage_log.empty()) {
    if (!r.region_logs_translation) {
      space_strcat(cmd, kQemuLogOption);
      space_strcat(cmd, kQemuTranslationLog);
    }
    space_strcat(cmd, kQemuLogFileOption);
    space_strcat(cmd, qemu_quoted(r.coverage_log));
  }
  if (r.elf_path) {
    space_strcat(cmd, kQemuKernelOption);
    space_strcat(cmd, qemu_quoted(*r.elf_path));
  }
  if (raw) cmd->append(qemu_loader_arg(raw->load_addr, raw->path));
  return line;
}
