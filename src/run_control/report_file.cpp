#include "run_control/report_file.h"

#include <cstring>
#include <utility>
#include <vector>

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

namespace {

// Writes the three parts to |out|: 0 or the system's error number.
int write_parts(FILE* out, const std::string& head, FILE* body, const std::string& foot) {
  errno = 0;
  if (fwrite(head.data(), 1, head.size(), out) != head.size()) return failed_call_error();
  if (fseek(body, 0, SEEK_SET) != 0) return failed_call_error();
  std::vector<char> piece(64 * 1024);
  while (size_t n = fread(piece.data(), 1, piece.size(), body))
    if (fwrite(piece.data(), 1, n, out) != n) return failed_call_error();
  if (ferror(body)) return failed_call_error();
  if (fwrite(foot.data(), 1, foot.size(), out) != foot.size()) return failed_call_error();
  return 0;
}

}  // namespace

bool write_report_file(const std::string& path, const std::string& head, FILE* body,
                       const std::string& foot, std::string* problem) {
  const bool device = path_kind(path) == PathKind::kOther;
  std::string part = path;
  File file = device ? open_file(path, "wb") : File(create_own_named_file(path + ".", &part));
  // Nothing was created when the file could not be: |part| may then name
  // someone else's.
  const bool created = file && !device;
  int error = file ? write_parts(file.get(), head, body, foot) : failed_call_error();
  if (file && fclose(file.release()) != 0 && error == 0) error = failed_call_error();
  if (error == 0 && created && !replace_file(part, path)) error = failed_call_error();
  if (error != 0 && created) remove_file(part);
  if (error == 0) return true;
  *problem = "cannot write " + path + ": " + strerror(error);
  return false;
}
