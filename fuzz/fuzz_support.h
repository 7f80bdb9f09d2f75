// What the fuzz targets share: a private folder for the files an input turns
// into, and exact whole-file reads and writes.
#ifndef ZELK_FUZZ_FUZZ_SUPPORT_H_
#define ZELK_FUZZ_FUZZ_SUPPORT_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file.h"

namespace fuzz {

namespace fs = std::filesystem;

// Stops the run so that libFuzzer records the input that broke a property.
#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
              #cond);                                                      \
      abort();                                                             \
    }                                                                      \
  } while (0)

// A folder of its own for the whole fuzzing run, removed at exit; libFuzzer
// ends with exit(), so a static's destructor is the last chance.
class WorkDir {
 public:
  WorkDir() {
    std::string templ = (fs::temp_directory_path() / "zelk_fuzz_XXXXXX").string();
    if (!mkdtemp(templ.data())) abort();
    path_ = templ;
  }
  ~WorkDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline void write_file(const fs::path& path, const uint8_t* data, size_t size) {
  File file = open_file(path.string(), "wb");
  if (!file || fwrite(data, 1, size, file.get()) != size) abort();
}

inline std::vector<uint8_t> read_file(const fs::path& path) {
  std::vector<uint8_t> bytes;
  File file = open_file(path.string(), "rb");
  if (!file) return bytes;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, file.get())) > 0) bytes.insert(bytes.end(), buf, buf + n);
  return bytes;
}

// Empties |dir| without removing it.
inline void clear_dir(const fs::path& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
}

inline size_t count_entries(const fs::path& dir) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
  return n;
}

}  // namespace fuzz

#endif  // ZELK_FUZZ_FUZZ_SUPPORT_H_
