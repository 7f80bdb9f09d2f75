#include "platform/platform.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/path_rules.h"

const char kPathSeparator = '/';

bool own_executable_path(std::string* path) {
  // readlink reports truncation only by filling the whole buffer, so grow
  // until the link fits with room to spare.
  std::vector<char> buf(256);
  for (;;) {
    ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size());
    if (len <= 0) return false;
    if (static_cast<size_t>(len) < buf.size()) {
      path->assign(buf.data(), static_cast<size_t>(len));
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

bool current_directory(std::string* path) {
  std::vector<char> buf(256);
  for (;;) {
    if (getcwd(buf.data(), buf.size())) {
      path->assign(buf.data());
      return true;
    }
    if (errno != ERANGE) return false;
    buf.resize(buf.size() * 2);
  }
}

bool path_is_existing_non_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string environment_value(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

std::string last_path_component(const std::string& path) {
  return posix_last_component(path);
}

FILE* create_raw_image_file(std::string* path) {
  std::string dir = environment_value("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  std::string name = dir + "/zelk_raw_XXXXXX";
  std::vector<char> templ(name.begin(), name.end());
  templ.push_back('\0');
  int fd = mkstemp(templ.data());
  path->assign(templ.data());
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}

int run_command_line(const std::string& command_line) {
  return system(command_line.c_str());
}

bool raw_command_line(std::string*) { return false; }
