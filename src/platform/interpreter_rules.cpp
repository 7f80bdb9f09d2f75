#include "platform/interpreter_rules.h"

std::string posix_sh_quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"' || c == '$' || c == '`') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string windows_cmd_quoted(const std::string& text) { return '"' + text + '"'; }
