// What the commands share: the forms of their messages, numbers and
// addresses.
#include <cstdio>
#include <cstring>

#include "flash_tool/flash_tool.h"

int complain(int status, const std::string& text) {
  fprintf(stderr, "zelk_flash: %s\n", text.c_str());
  return status;
}

int usage_error(const std::string& command, const std::string& text) {
  fprintf(stderr, "zelk_flash %s: %s\nusage: zelk_flash [--dir DIR] %s\n", command.c_str(),
          text.c_str(), command_usage(command));
  return kExitTrouble;
}

std::string copy_stops_text(size_t image, const std::string& why) {
  return "image " + std::to_string(image) + ": " + why + "; a launch's copy stops there";
}

std::string hex32(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
  return text;
}
