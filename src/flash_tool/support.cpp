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

std::string cannot(const char* verb, const std::string& path, int error) {
  return std::string("cannot ") + verb + " " + path + ": " + strerror(error);
}

std::string copy_stops_text(size_t image, const std::string& why) {
  return "image " + std::to_string(image) + ": " + why + "; a launch's copy stops there";
}

bool parse_number(const std::string& text, uint64_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const uint64_t base = hex ? 16 : 10;
  if (text.empty()) return false;
  uint64_t v = 0;
  for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    uint64_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (hex && c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else return false;
    if (v > (UINT64_MAX - digit) / base) return false;
    v = v * base + digit;
  }
  *value = v;
  return true;
}

std::string hex32(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
  return text;
}
