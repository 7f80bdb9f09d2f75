// A stdio stream that closes itself on every path out of its scope.
#ifndef ZELK_PLATFORM_FILE_H_
#define ZELK_PLATFORM_FILE_H_

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

inline File open_file(const std::string& path, const char* mode) {
  return File(open_file_stream(path, mode));
}

// The system's error number for a call that just failed; EIO where the
// call failed without setting one (a write cut short, say).
inline int failed_call_error() { return errno != 0 ? errno : EIO; }

// Opens the file |path| for reading bytes: 0, or the system's error number
// when it cannot. A folder is EISDIR on every platform (POSIX would open
// it, and read its "size" as content).
int open_to_read(const std::string& path, File* file);

// Reads the file |path| once, from its start to its end, whatever it is: a
// regular file, a pipe, a FIFO or a device, none of which tells its size
// before it ends. No more than |limit| bytes are kept: |*more| says that
// the file held more (a regular file is not read then). 0, or the system's
// error number.
int read_whole_file(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes,
                    bool* more);

// Writes |len| bytes to |file| and closes it: 0, or the system's error
// number for the first step that failed.
int write_and_close(File file, const void* data, size_t len);

// Writes |len| bytes to a new file beside |path| and renames it over
// |path|, so that whoever reads |path| finds the old file or the new one,
// never one cut short. 0, or the system's error number; |path| is then as
// it was and the new file is gone.
int replace_file_whole(const std::string& path, const void* data, size_t len);

#endif  // ZELK_PLATFORM_FILE_H_
