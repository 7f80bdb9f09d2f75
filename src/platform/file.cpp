#include "platform/file.h"

#include <utility>

namespace {

// A stream of unknown length is read in pieces of this size.
constexpr size_t kReadPiece = 1 << 20;

}  // namespace

int open_to_read(const std::string& path, File* file) {
  const PathKind kind = path_kind(path);
  if (kind == PathKind::kMissing) return failed_call_error();
  if (kind == PathKind::kFolder) return EISDIR;
  *file = open_file(path, "rb");
  return *file ? 0 : failed_call_error();
}

int read_whole_file(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes,
                    bool* more) {
  bytes->clear();
  *more = false;
  File file;
  if (int error = open_to_read(path, &file)) return error;
  // A regular file's size is known, and a file too large is refused
  // without reading it; anything else is known only once it has ended.
  uint64_t size = 0;
  const bool regular = path_kind(path) == PathKind::kFile && stream_size(file.get(), &size);
  if (regular && size > limit) {
    *more = true;
    return 0;
  }
  if (regular) bytes->reserve(static_cast<size_t>(size));
  // A FIFO named here is read for its writer's bytes, however late it comes.
  wait_for_fifo_writer(file.get());
  for (;;) {
    const uint64_t room = limit - bytes->size();
    // One byte beyond the limit tells a stream that goes on.
    const size_t want = room < kReadPiece ? static_cast<size_t>(room) + 1 : kReadPiece;
    const size_t at = bytes->size();
    bytes->resize(at + want);
    errno = 0;
    const size_t got = fread(bytes->data() + at, 1, want, file.get());
    bytes->resize(at + got);
    if (got < want) return ferror(file.get()) ? failed_call_error() : 0;
    if (bytes->size() > limit) {
      bytes->resize(static_cast<size_t>(limit));
      *more = true;
      return 0;
    }
  }
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
