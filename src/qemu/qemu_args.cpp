#include "qemu/qemu_args.h"

#include <cstdio>

#include "platform/platform.h"

const char kQemuExecutable[] = "qemu-system-cskyv2";
const char kQemuMachineOption[] = "-machine";
const char kQemuMachine[] = "zelk";
const char kQemuFixedOptions[] =
    "-name zelk_simulator -serial stdio -monitor none -parallel none";
const char kQemuGlobalOption[] = "-global";
const char kQemuDisplayGtk[] =
    "-display gtk,show-tabs=off,show-cursor=on,show-menubar=off";
const char kQemuNoGraphic[] = "-nographic";
const char kQemuKernelOption[] = "-kernel";
const char kRawImageStem[] = "zelk_raw_";

namespace {

// QEMU splits a -device option list at every single comma; a doubled one
// stands for a comma in a value.
std::string option_value(const std::string& text) {
  std::string value;
  for (char c : text) {
    value.push_back(c);
    if (c == ',') value.push_back(',');
  }
  return value;
}

}  // namespace

void space_strcat(std::string* cmd, const std::string& text) {
  cmd->append(text);
  cmd->push_back(' ');
}

std::string qemu_quoted(const std::string& path) { return interpreter_quoted(path); }

// -global values are taken whole, commas and all.
std::string qemu_flash_value(const std::string& flash_path) {
  return "zelk_iflash.flash=" + qemu_quoted(flash_path);
}

std::string qemu_eeprom_value(const std::string& eeprom_path) {
  return "zelk_i2c.eeprom=" + qemu_quoted(eeprom_path);
}

std::string qemu_net_arg(const std::string& eth_name) {
  return ("-net nic -net tap,ifname=" + eth_name).substr(0, kQemuOptionTextLimit);
}

std::string qemu_uart_arg(const std::string& uart_num) {
  return ("-global zelk_uart.uart_num=" + uart_num).substr(0, kQemuOptionTextLimit);
}

std::string qemu_gdb_arg(uint16_t port) {
  return "-gdb tcp:127.0.0.1:" + std::to_string(port) + " -S";
}

std::string qemu_loader_arg(uint32_t addr, const std::string& raw_path) {
  char text[32];
  snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(addr));
  return "-device loader,force-raw=on,addr=" + std::string(text) +
         ",file=" + qemu_quoted(option_value(raw_path));
}

const char kQemuLogOption[] = "-d";
const char kQemuLogFileOption[] = "-D";
const char kQemuTranslationLog[] = "in_asm";

bool is_qemu_option(const std::string& word, const char* option) {
  return word == option || word == std::string("-") + option;
}

std::string qemu_log_with_translation(const std::string& value) {
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    if (value.compare(start, comma == std::string::npos ? std::string::npos : comma - start,
                      kQemuTranslationLog) == 0)
      return value;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return value.empty() ? kQemuTranslationLog : value + "," + kQemuTranslationLog;
}
