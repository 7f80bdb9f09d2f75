#include "launcher/coverage_run.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "coverage/log_reader.h"
#include "coverage/reports.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace {

// How much of the log is read at once: it is never held whole.
constexpr size_t kLogPiece = 256 * 1024;
// An ELF is read whole for its debug information; past this it is no
// firmware's.
constexpr uint64_t kLargestElf = uint64_t{1} << 30;

std::string say(const std::string& text) { return "--coverage: " + text; }

// The whole of the file at |path|; 0 or the system's error number.
int read_whole(const std::string& path, std::vector<uint8_t>* bytes) {
  File file;
  if (int error = open_to_read(path, &file)) return error;
  uint64_t size = 0;
  if (!stream_size(file.get(), &size)) return failed_call_error();
  if (size > kLargestElf) return EFBIG;
  bytes->resize(static_cast<size_t>(size));
  if (size > 0 && fread(bytes->data(), 1, bytes->size(), file.get()) != bytes->size())
    return failed_call_error();
  return 0;
}

// Writes |text| to |path|: a file is replaced whole, so that a reader never
// finds half a report; anything else (a pipe, a device) is written as it is.
int write_report(const std::string& path, const std::string& text) {
  if (path_kind(path) != PathKind::kOther) return replace_file_whole(path, text.data(), text.size());
  errno = 0;
  File file = open_file(path, "wb");
  if (!file) return failed_call_error();
  return write_and_close(std::move(file), text.data(), text.size());
}

}  // namespace

CoverageRun::~CoverageRun() {
  if (!log_path_.empty()) remove_file(log_path_);
}

std::string CoverageRun::prepare(Request* r) {
  if (r->coverage.empty()) return "";
  Request resolved = *r;
  if (resolved.project) {
    std::string cwd;
    current_directory(&cwd);
    resolve_project(cwd, &resolved);
  }
  if (!resolved.elf_path) return say("needs the program's ELF (-elf or -prj)");
  const std::string& elf = *resolved.elf_path;
  std::vector<uint8_t> bytes;
  if (int error = read_whole(elf, &bytes)) return say("cannot read " + elf + ": " + strerror(error));
  std::string problem;
  if (read_line_map(bytes.data(), bytes.size(), r->coverage_strip, &map_, &problem) != LineMapResult::kOk)
    return say(elf + ": " + problem);
  File log(create_own_named_file(temporary_directory() + kPathSeparator + "zelk_coverage_", &log_path_));
  if (!log) {
    const std::string text = say("cannot create " + log_path_ + ": " + strerror(failed_call_error()));
    log_path_.clear();
    return text;
  }
  r->coverage_log = log_path_;
  request_ = *r;
  return "";
}

bool CoverageRun::finish() {
  if (log_path_.empty() || finished_) return true;
  finished_ = true;
  File log;
  if (int error = open_to_read(log_path_, &log)) {
    fprintf(stderr, "zelk_sim: coverage: cannot read the simulator's log %s: %s\n", log_path_.c_str(),
            strerror(error));
    return false;
  }
  TranslationLogReader reader([this](uint64_t lo, uint64_t hi) { map_.mark(lo, hi); });
  std::vector<char> piece(kLogPiece);
  for (size_t n; (n = fread(piece.data(), 1, piece.size(), log.get())) > 0;) reader.feed(piece.data(), n);
  reader.finish();
  const bool read_failed = ferror(log.get()) != 0;
  // Gone before the reports are written: a launcher told to stop ends
  // right after them, by the signal, with no destructor run.
  log.reset();
  remove_file(log_path_);
  // Part of the log is no measure of the run: no report then.
  if (read_failed) {
    fprintf(stderr, "zelk_sim: coverage: cannot read the simulator's log %s: %s\n", log_path_.c_str(),
            strerror(EIO));
    return false;
  }
  bool written = true;
  for (const Request::CoverageFile& file : request_.coverage) {
    const std::string text = file.format == CoverageFormat::kLcov
                                 ? lcov_tracefile(map_, "")
                                 : cobertura_report(map_, "zelk_sim", static_cast<long long>(time(nullptr)));
    if (int error = write_report(file.path, text)) {
      fprintf(stderr, "zelk_sim: cannot write %s: %s\n", file.path.c_str(), strerror(error));
      written = false;
    }
  }
  fprintf(stderr, "zelk_sim: coverage: %s\n", coverage_summary(map_).c_str());
  return written;
}
