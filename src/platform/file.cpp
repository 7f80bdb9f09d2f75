#include "platform/file.h"

#include <utility>

int open_to_read(const std::string& path, File* file) {
  const PathKind kind = path_kind(path);
  if (kind == PathKind::kMissing) return failed_call_error();
  if (kind == PathKind::kFolder) return EISDIR;
  *file = open_file(path, "rb");
  return *file ? 0 : failed_call_error();
}

int write_and_close(File file, const void* data, size_t len) {
  int error = 0;
  errno = 0;
  if (fwrite(data, 1, len, file.get()) != len) error = failed_call_error();
  // Closing may be where the system reports a write it could not make.
  if (fclose(file.release()) != 0 && error == 0) error = failed_call_error();
  return error;
}

int replace_file_whole(const std::string& path, const void* data, size_t len) {
  std::string part;
  File file(create_own_named_file(path + ".", &part));
  // Nothing was created then, so nothing is removed: |part| may name a
  // file of someone else's.
  if (!file) return failed_call_error();
  int error = write_and_close(std::move(file), data, len);
  if (error == 0 && !replace_file(part, path)) error = failed_call_error();
  if (error != 0) remove_file(part);
  return error;
}
