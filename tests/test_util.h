// Small helpers shared by the tests: a scoped temporary folder and whole-file
// reads and writes.
#ifndef ZELK_TESTS_TEST_UTIL_H_
#define ZELK_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<uint8_t> read_bytes(const fs::path& path);
std::string read_text(const fs::path& path);
void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes);
void write_text(const fs::path& path, const std::string& text);

// Splits |text| at line feeds; a last line without one counts too.
std::vector<std::string> split_lines(const std::string& text);

#endif  // ZELK_TESTS_TEST_UTIL_H_
