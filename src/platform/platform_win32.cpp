#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include <vector>

#include "platform/path_rules.h"

// Asks the mingw-w64 runtime to expand wildcard patterns among the words
// before main sees them, as the command prompt leaves that to programs.
extern "C" {
int _dowildcard = -1;
}

const char kPathSeparator = '\\';

bool own_executable_path(std::string* path) {
  // GetModuleFileNameA truncates silently at the buffer's size, so grow
  // until the name fits with room to spare.
  std::vector<char> buf(MAX_PATH + 1);
  for (;;) {
    DWORD size = static_cast<DWORD>(buf.size());
    DWORD len = GetModuleFileNameA(nullptr, buf.data(), size);
    if (len == 0) return false;
    if (len < size) {
      path->assign(buf.data(), len);
      return true;
    }
    if (buf.size() >= (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
}

bool current_directory(std::string* path) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD need = GetCurrentDirectoryA(0, nullptr);
    if (need == 0) return false;
    std::vector<char> buf(need);
    DWORD len = GetCurrentDirectoryA(need, buf.data());
    if (len == 0) return false;
    if (len < need) {
      path->assign(buf.data(), len);
      return true;
    }
    // The directory changed between the two calls; ask again.
  }
  return false;
}

bool path_is_existing_non_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool file_size_of(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return true;
}

FILE* open_file_stream(const std::string& path, const char* mode) {
  return fopen(path.c_str(), mode);
}

std::string environment_value(const char* name) {
  std::vector<char> buf(256);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(buf.size());
    DWORD len = GetEnvironmentVariableA(name, buf.data(), size);
    if (len == 0) return "";
    if (len < size) return std::string(buf.data(), len);
    buf.resize(len);  // |len| now counts the terminator too.
  }
  return "";
}

static bool is_lead_byte(unsigned char c) { return IsDBCSLeadByte(c) != 0; }

std::string last_path_component(const std::string& path) {
  return windows_last_component(path, is_lead_byte);
}

FILE* create_raw_image_file(std::string* path) {
  const std::string profile = environment_value("userprofile");
  // The runtime checks its names against the current drive's root, not the
  // Temp folder, and builds them from the process id, which comes round
  // again while earlier images stay; so a taken name is followed by the
  // runtime's next one.
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[4096] = {};
    tmpnam_s(name, sizeof name);
    // Older runtimes hand out a bare name for the current drive's root,
    // newer ones a complete path; a bare name goes under the user's Temp
    // folder.
    if (strlen(name) <= 20)
      *path = profile + "\\AppData\\Local\\Temp\\" + name;
    else
      *path = name;
    int fd = _open(path->c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return nullptr;
    FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
  }
  return nullptr;
}

int run_command_line(const std::string& command_line) {
  return system(command_line.c_str());
}

bool raw_command_line(std::string* line) {
  *line = GetCommandLineA();
  return true;
}
