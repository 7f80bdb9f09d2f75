// zelk_flash's help: an overview of the commands and a text for each.
#ifndef ZELK_FLASH_TOOL_HELP_H_
#define ZELK_FLASH_TOOL_HELP_H_

#include <cstdio>
#include <string>

bool is_command(const std::string& name);
// The command's usage line without the program's name; nullptr for no
// command.
const char* command_usage(const std::string& name);
void print_overview(FILE* to);
// On standard output.
void print_command_help(const std::string& name);

#endif  // ZELK_FLASH_TOOL_HELP_H_
