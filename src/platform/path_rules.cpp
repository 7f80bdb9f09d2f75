#include "platform/path_rules.h"

namespace {

bool is_windows_separator(char c) { return c == '\\' || c == '/'; }

// Moves |i| past one character, two bytes for a double-byte character so
// that its trail byte is never seen on its own.
size_t next_char(const std::string& path, size_t i,
                 bool (*is_lead_byte)(unsigned char)) {
  if (is_lead_byte(static_cast<unsigned char>(path[i])) && i + 1 < path.size())
    return i + 2;
  return i + 1;
}

size_t skip_name(const std::string& path, size_t i,
                 bool (*is_lead_byte)(unsigned char)) {
  while (i < path.size() && !is_windows_separator(path[i]))
    i = next_char(path, i, is_lead_byte);
  return i;
}

size_t skip_separators(const std::string& path, size_t i) {
  while (i < path.size() && is_windows_separator(path[i])) ++i;
  return i;
}

bool is_ascii_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::string windows_last_component(const std::string& path,
                                   bool (*is_lead_byte)(unsigned char)) {
  const size_t n = path.size();
  size_t i = 0;
  bool network = false;
  if (n >= 2 && is_ascii_letter(path[0]) && path[1] == ':') {
    i = 2;
  } else if (n >= 3 && is_windows_separator(path[0]) &&
             is_windows_separator(path[1]) && !is_windows_separator(path[2])) {
    // \\server\share: both names belong to the prefix.
    network = true;
    i = skip_name(path, 2, is_lead_byte);
    i = skip_separators(path, i);
    i = skip_name(path, i, is_lead_byte);
  }
  const size_t prefix_end = i;

  size_t last_start = n, last_end = n;
  while (i < n) {
    if (is_windows_separator(path[i])) {
      ++i;
      continue;
    }
    last_start = i;
    i = skip_name(path, i, is_lead_byte);
    last_end = i < n ? i : n;
  }
  if (last_start < n) return path.substr(last_start, last_end - last_start);
  if (network || prefix_end < n) return "\\";
  return ".";
}

std::string posix_last_component(const std::string& path) {
  if (path.empty()) return ".";
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t start = path.find_last_of('/', end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}
