#include "run_control/report_file.h"

#include <cerrno>
#include <cstring>

#include "platform/file.h"
#include "platform/platform.h"

namespace {

bool cannot_write(const std::string& path, int error, std::string* problem) {
  *problem = "cannot write " + path + ": " + strerror(error);
  return false;
}

}  // namespace

bool replace_file_whole(const std::string& path, const std::string& text, std::string* problem) {
  std::string temp;
  File file(create_own_named_file(path + ".", &temp));
  // Nothing was created then, so nothing is removed: |temp| may name a
  // file of someone else's.
  if (!file) return cannot_write(path, failed_call_error(), problem);
  int error = 0;
  errno = 0;
  if (fwrite(text.data(), 1, text.size(), file.get()) != text.size()) error = failed_call_error();
  // Closing may be where the system reports a write it could not make.
  if (fclose(file.release()) != 0 && error == 0) error = failed_call_error();
  if (error == 0 && !replace_file(temp, path)) error = failed_call_error();
  if (error == 0) return true;
  remove_file(temp);
  return cannot_write(path, error, problem);
}
