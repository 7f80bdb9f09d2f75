#include "test_util.h"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

ScopedTempDir::ScopedTempDir() {
  std::random_device rd;
  std::mt19937_64 gen(rd());
  for (;;) {
    fs::path candidate =
        fs::temp_directory_path() / ("zelk_test_" + std::to_string(gen() % 100000000));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
  // In pieces: a byte at a time, a whole flash file takes minutes under ASan.
  std::vector<uint8_t> bytes;
  std::ifstream in(path, std::ios::binary);
  char piece[1 << 16];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) bytes.insert(bytes.end(), piece, piece + in.gcount());
  return bytes;
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}
