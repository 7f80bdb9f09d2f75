#include "platform/interpreter_rules.h"

#include <cstring>

namespace {

bool only_plain(const std::string& text, const char* plain) {
  if (text.empty()) return false;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && byte < 0x80 && !strchr(plain, c)) return false;
  }
  return true;
}

}  // namespace

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

// Blanks split, and ; & | < > ( ) $ ` \ " ' * ? [ ] # ~ { } ! act; these
// do not, wherever they stand.
std::string posix_sh_word(const std::string& text) {
  return only_plain(text, "_-+./,:@%^=") ? text : posix_sh_quoted(text);
}

// Blanks, ; , and = split, and & | < > ^ ( ) % ! " act; these do not,
// wherever they stand.
std::string windows_cmd_word(const std::string& text) {
  return only_plain(text, "_-+./\\:@#$~[]{}'`") ? text : windows_cmd_quoted(text);
}
