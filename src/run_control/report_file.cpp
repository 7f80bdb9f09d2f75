#include "run_control/report_file.h"

#include <cstring>
#include <memory>
#include <utility>

#include "platform/file.h"
#include "platform/platform.h"

bool write_report_file(const std::string& path, const std::string& text, std::string* problem) {
  const int error = replace_file_whole(path, text.data(), text.size());
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
