#include "run_control/report_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/file.h"
#include "platform/platform.h"

namespace {

bool cannot_write(const std::string& path, int error, std::string* problem) {
  *problem = "cannot write " + path + ": " + strerror(error);
  return false;
}

// Writes |text| into |file|, opened as |path|, and closes it.
bool write_and_close(File file, const std::string& path, const std::string& text,
                     std::string* problem) {
  int error = 0;
  errno = 0;
  if (fwrite(text.data(), 1, text.size(), file.get()) != text.size()) error = failed_call_error();
  // Closing may be where the system reports a write it could not make.
  if (fclose(file.release()) != 0 && error == 0) error = failed_call_error();
  return error == 0 || cannot_write(path, error, problem);
}

}  // namespace

bool write_report_file(const std::string& path, const std::string& text, std::string* problem) {
  // A device or a pipe named as the report is written to, not replaced by
  // a file of the same name.
  if (path_kind(path) == PathKind::kOther) {
    File file = open_file(path, "wb");
    if (!file) return cannot_write(path, failed_call_error(), problem);
    return write_and_close(std::move(file), path, text, problem);
  }
  const int error = replace_file_whole(path, text.data(), text.size());
  return error == 0 || cannot_write(path, error, problem);
}
