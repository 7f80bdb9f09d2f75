#include "platform/interpreter_rules.h"

#include <algorithm>
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

std::string windows_cmd_quoted(const std::string& text) {
  std::string quoted = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const bool percent = text[i] == '%';
    if (percent && (i == 0 || text[i - 1] != '%')) quoted.push_back('"');
    quoted.push_back(text[i]);
    if (percent && (i + 1 == text.size() || text[i + 1] != '%')) quoted.push_back('"');
  }
  quoted.push_back('"');
  return quoted;
}

std::string windows_cmd_expansion(const std::string& line, bool (*is_set)(const std::string& name)) {
  // A % that starts no expansion stays, and the next % may start one.
  for (size_t at = line.find('%'); at != std::string::npos;) {
    const size_t end = line.find('%', at + 1);
    if (end == std::string::npos) break;
    const std::string inside = line.substr(at + 1, end - at - 1);
    const std::string name = inside.substr(0, inside.find(':'));
    if (!name.empty() && is_set(name)) return line.substr(at, end - at + 1);
    at = end;
  }
  return "";
}

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

std::vector<RuntimeWord> windows_runtime_words(const std::string& line) {
  std::vector<RuntimeWord> words(1);
  size_t i = 0;
  if (i < line.size() && line[i] == '"') {
    const size_t end = line.find('"', 1);
    words[0].text = line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    words[0].quoted = true;
    i = end == std::string::npos ? line.size() : end + 1;
  } else {
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') words[0].text.push_back(line[i++]);
  }
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return words;
    RuntimeWord word;
    bool in_quotes = false;
    while (i < line.size() && (in_quotes || (line[i] != ' ' && line[i] != '\t'))) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        word.text.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          word.text.push_back('"');
          ++i;
          continue;
        }
        word.quoted = true;
        if (in_quotes && i + 1 < line.size() && line[i + 1] == '"') {
          word.text.push_back('"');
          ++i;
        }
        in_quotes = !in_quotes;
        ++i;
        continue;
      }
      word.text.append(slashes, '\\');
      if (slashes == 0) word.text.push_back(line[i++]);
    }
    words.push_back(word);
  }
}

bool windows_runtime_pattern(const RuntimeWord& word) {
  return !word.quoted && word.text.find_first_of("*?") != std::string::npos;
}

std::vector<std::string> posix_sh_search(const std::string& name, const std::string& path_value) {
  std::vector<std::string> files;
  for (const std::string& dir : split(path_value, ':'))
    files.push_back(dir.empty() ? name : dir + "/" + name);
  return files;
}

std::vector<std::string> windows_cmd_search(const std::string& name, const std::string& path_value,
                                            const std::string& pathext_value) {
  std::vector<std::string> dirs = {""};
  for (std::string dir : split(path_value, ';')) {
    dir.erase(std::remove(dir.begin(), dir.end(), '"'), dir.end());
    if (!dir.empty()) dirs.push_back(dir);
  }
  std::vector<std::string> extensions;
  const std::string pathext = pathext_value.empty() ? ".COM;.EXE;.BAT;.CMD" : pathext_value;
  for (const std::string& ext : split(pathext, ';'))
    if (!ext.empty()) extensions.push_back(ext);
  const bool has_extension = name.find('.') != std::string::npos;
  std::vector<std::string> files;
  for (const std::string& dir : dirs) {
    const std::string stem =
        dir.empty() ? name : dir + (dir.back() == '\\' || dir.back() == '/' ? "" : "\\") + name;
    if (has_extension) files.push_back(stem);
    for (const std::string& ext : extensions) files.push_back(stem + ext);
  }
  return files;
}

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
