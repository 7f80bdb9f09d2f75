#include "run_control/report_file.h"

#include <cstring>
#include <utility>

#include "platform/file.h"
#include "platform/platform.h"

bool write_report_file(const std::string& path, const std::string& text, std::string* problem) {
  int error = 0;
  // A device or a pipe named as the report is written to, not replaced by
  // a file of the same name.
  if (path_kind(path) == PathKind::kOther) {
    File file = open_file(path, "wb");
    error = file ? write_and_close(std::move(file), text.data(), text.size()) : failed_call_error();
  } else {
    error = replace_file_whole(path, text.data(), text.size());
  }
  if (error == 0) return true;
  *problem = "cannot write " + path + ": " + strerror(error);
  return false;
}
