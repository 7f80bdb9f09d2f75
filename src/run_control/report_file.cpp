#include "run_control/report_file.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/platform.h"

bool write_report_file(const std::string& path, const std::string& text, std::string* problem) {
  const int error = replace_file_whole(path, text.data(), text.size());
  if (error == 0) return true;
  *problem = report_problem(path, error);
  return false;
}

namespace {

// Writes the three parts to |out|: 0 or the system's error number.
int write_parts(FILE* out, const std::string& head, FILE* body, const std::string& foot) {
  errno = 0;
  if (fwrite(head.data(), 1, head.size(), out) != head.size()) return failed_call_error();
  if (body && fseek(body, 0, SEEK_SET) != 0) return failed_call_error();
  std::vector<char> piece(64 * 1024);
  while (size_t n = body ? fread(piece.data(), 1, piece.size(), body) : 0)
    if (fwrite(piece.data(), 1, n, out) != n) return failed_call_error();
  if (body && ferror(body)) return failed_call_error();
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
  *problem = report_problem(path, error);
  return false;
}

bool report_is_stream(const std::string& path) { return path_kind(path) == PathKind::kOther; }

BackgroundWriter::Sink report_stream_sink(const std::string& path) {
  // Opened on the writer's thread: a FIFO's opening waits for its reader.
  auto file = std::make_shared<File>();
  return [path, file](const char* data, size_t len) {
    if (!*file) *file = open_file(path, "wb");
    if (!*file) return OutputWrite::kFailed;
    if (data) return write_file_bytes(file->get(), data, len);
    errno = 0;
    if (fclose(file->release()) == 0) return OutputWrite::kWritten;
    errno = failed_call_error();
    return OutputWrite::kFailed;
  };
}

std::string report_problem(const std::string& path, int error) {
  return "cannot write " + path + ": " + strerror(error);
}
