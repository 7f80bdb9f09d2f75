// The simulator executable's name and the argument forms the launcher
// writes for it: everything the simulator is asked for is spelled here.
#ifndef ZELK_QEMU_QEMU_ARGS_H_
#define ZELK_QEMU_QEMU_ARGS_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Found by the command interpreter on the search path or in the current
// directory.
extern const char kQemuExecutable[];
extern const char kQemuMachineOption[];
extern const char kQemuMachine[];
extern const char kQemuFixedOptions[];
extern const char kQemuGlobalOption[];
extern const char kQemuDisplayGtk[];
extern const char kQemuNoGraphic[];
extern const char kQemuKernelOption[];

// The raw image the loader is given is named so, then a suffix of its own.
extern const char kRawImageStem[];

// The network and UART arguments are cut to this many characters.
constexpr size_t kQemuOptionTextLimit = 127;

// Appends |text|, then one space.
void space_strcat(std::string* cmd, const std::string& text);

// A path as one word of the line: the interpreter hands it to the
// simulator exactly as written.
std::string qemu_quoted(const std::string& path);

std::string qemu_flash_value(const std::string& flash_path);
std::string qemu_eeprom_value(const std::string& eeprom_path);
std::string qemu_net_arg(const std::string& eth_name);
std::string qemu_uart_arg(const std::string& uart_num);
// The debugger's server on |port| of the loopback address alone, the
// guest held before its first instruction until the debugger lets it go.
std::string qemu_gdb_arg(uint16_t port);
std::string qemu_loader_arg(uint32_t addr, const std::string& raw_path);

// The simulator's own log: "-d" takes a comma-separated list of what to
// log, the last "-d" on the line wins; "-D" names the file it goes to.
extern const char kQemuLogOption[];
extern const char kQemuLogFileOption[];
// Each block of guest code as it is translated: its addresses.
extern const char kQemuTranslationLog[];
// Whether |word| is one of the simulator's spellings of |option| ("-d" is
// also "--d").
bool is_qemu_option(const std::string& word, const char* option);
// The value of a user's "-d" with the translation log added to it.
std::string qemu_log_with_translation(const std::string& value);

#endif  // ZELK_QEMU_QEMU_ARGS_H_
