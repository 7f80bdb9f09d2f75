#include "launcher/launch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "launcher/coverage_run.h"
#include "launcher/debugger.h"
#include "launcher/notes.h"
#include "launcher/watched_run.h"
#include "loading/elf2bin.h"
#include "platform/bound_command.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "qemu/qemu_args.h"
#include "storage/backing_files.h"
#include "storage/copy2flash.h"
#include "storage/fresh_chip.h"
#include "storage/memory_load.h"

namespace {

// The length test covers the head and the user's words, not the tail.
constexpr size_t kArgsLimit = 1024;

// What a launch refused for a chip in use can do instead of waiting.
constexpr char kOwnChipHint[] = "; for a chip of this run's own, give --fresh-chip or --chip-dir";

// The simulator's console is the launcher's until it ends, as with the
// runtime's system(): Ctrl-C is the simulator's to act on and the launcher
// waits on; a request to end the launcher ends the simulator first, and
// true says the launcher is to end as asked. The simulator's status is of
// no concern to the launch.
bool start_qemu(const std::string& line, const FileLock& lock) {
  BoundCommand command;
  BoundCommand::Options options;
  options.shared_lock = &lock;
  const bool started = command.start(line, options);
  if (!command.problem().empty()) complain(0, command.problem());
  while (started) {
    switch (command.wait(-1, nullptr, 0, nullptr)) {
      case BoundCommand::Event::kEnded:
        return false;
      case BoundCommand::Event::kInterrupt:
        command.interrupt();
        break;
      case BoundCommand::Event::kStopRequest:
        command.end();
        return true;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

namespace {

// The ELF and firmware file of project mode, taken from the current
// directory; a directory that cannot be read leaves the path empty.
void resolve_project_here(Request* r) {
  if (!r->project) return;
  std::string cwd;
  current_directory(&cwd);
  resolve_project(cwd, r);
}

// Why a conversion that failed gave no program to load, naming the file.
std::string conversion_problem(const Request& r, int ret, const RawImage& raw) {
  if (ret == kElfCannotCreateRaw || ret == kElfFlashWriteShort || ret == kElfDataWriteShort)
    return "cannot write " + (raw.path.empty() ? "the raw image" : raw.path) + ": " +
           strerror(raw.error);
  return "cannot convert " + *r.elf_path + ": " + elf2bin_code_text(ret);
}

}  // namespace

CommandLine build_command_line(Request r, const BackingFiles& files, const std::string& raw_dir,
                               std::string* setup_problem) {
  resolve_project_here(&r);
  RawImage raw;
  const int ret = elf2bin(r.elf_path ? r.elf_path->c_str() : nullptr, &raw, raw_dir);
  if (ret != kElfOk) printf("copy cmd ret = %d\n", ret);
  // A watched run goes no further without its program: the firmware is
  // not copied under a run that would not test it.
  if (setup_problem && ret != kElfOk && ret != kElfNoPath) {
    *setup_problem = conversion_problem(r, ret, raw);
    return {};
  }
  if (r.image_path) {
    const CopyResult copy = copy2flash(r.image_path->c_str(), files.flash.c_str());
    print_copy(copy);
    if (copy.files == CopyResult::Files::kNoFirmware) {
      const std::string text = "cannot read " + *r.image_path + ": " + strerror(copy.open_error);
      if (setup_problem) {
        *setup_problem = text;
        return {};
      }
      complain(0, text);
    }
  }
  return cmd_copy(r, prefix_args(files), ret == kElfOk ? &raw : nullptr);
}

namespace {

// Says the setup problem |problem| and refuses the launch with it.
int refuse_setup(const std::string& problem, const Request& r, const Reports& reports) {
  complain(0, problem);
  return refuse_launch(kStatusUsage, problem, r, reports);
}

// A path the interpreter would hand the simulator changed: the simulator
// would open another chip or program than the one the launcher locked and
// wrote, perhaps one another launch holds. One line; empty when none.
std::string line_paths_problem(Request r, const BackingFiles& files, const std::string& raw_dir) {
  resolve_project_here(&r);
  std::vector<std::string> paths = {files.flash, files.eeprom,
                                    raw_dir.empty() ? temporary_directory() : raw_dir};
  if (r.elf_path) paths.push_back(*r.elf_path);
  for (const std::string& path : paths) {
    const std::string changed = interpreter_changes(path);
    if (!changed.empty())
      return "cannot hand " + path + " to " + kQemuExecutable + ": the command interpreter would expand " +
             changed + " in it, and no quoting keeps it from that";
  }
  return "";
}

// Refuses a launch on a chip that another launch holds: another's run, not
// this firmware's fault, which a watched run says as a setup problem.
int refuse_chip_in_use(const std::string& text, const Request& r, const Reports& reports) {
  complain(0, text);
  return refuse_launch(r.watched ? kStatusUsage : 1, text, r, reports);
}

// What keeps a watched run from testing the firmware that can be found
// before the chip is touched: a simulator the interpreter would not find,
// an ELF or firmware file that cannot be read. One line; empty when none.
std::string setup_problem_before_start(Request r) {
  if (!interpreter_finds(kQemuExecutable))
    return std::string("cannot start ") + kQemuExecutable + ": not found in PATH";
  resolve_project_here(&r);
  for (const auto* path : {&r.elf_path, &r.image_path}) {
    if (!*path) continue;
    File file;
    if (int error = open_to_read(**path, &file))
      return "cannot read " + **path + ": " + strerror(error);
  }
  return "";
}

// The launch on the chip in |files|, its lock held until the simulator has
// ended; |*stop_requested| when the launcher was asked to end while an
// unwatched simulator ran.
int launch_on(const Request& r, const std::vector<Load>& loads, const BackingFiles& files,
              const std::string& raw_dir, Reports* reports, bool* stop_requested) {
  // One launch at a time owns the chip.
  FileLock lock;
  long holder = 0;
  int error = 0;
  if (!files.dir.empty()) {
    const FileLock::Status status = lock_chip(files, &lock, &holder, &error);
    if (status == FileLock::Status::kHeld)
      return refuse_chip_in_use(chip_in_use_text(files.dir, holder) + kOwnChipHint, r, *reports);
    // A chip no launch can lock is one that two could write at once.
    if (status == FileLock::Status::kFailed)
      return refuse_setup(chip_not_locked_text(files.dir, error), r, *reports);
  }
  // Without its backing files the simulator would run a chip that is not
  // there, and a watched run would judge the firmware by it.
  const Preparation prepared = prepare_backing_files(files);
  print_preparation(prepared);
  const std::string chip_problem = preparation_problem(prepared);
  if (!chip_problem.empty()) return refuse_setup(chip_problem, r, *reports);

  std::string problem;
  const CommandLine line = build_command_line(r, files, raw_dir, r.watched ? &problem : nullptr);
  if (!problem.empty()) return refuse_setup(problem, r, *reports);
  // After the firmware copy, so that a load wins where both write.
  for (const Load& load : loads) {
    const std::string load_problem = load_into(files, load).problem;
    if (!load_problem.empty()) return refuse_setup(load_problem, r, *reports);
  }
  if (line.region_end >= kArgsLimit) {
    printf("args too long\n");
    return refuse_launch(1, "args too long", r, *reports);
  }
  fflush(stdout);
  if (r.gdb_port) complain(0, debugger_waiting_text(*r.gdb_port));
  if (!r.watched) {
    *stop_requested = start_qemu(line.text, lock);
    // A report promised and not written is said, and the launch fails.
    return reports->coverage && !reports->coverage->finish() ? 1 : 0;
  }
  return watch_qemu(line.text, lock, r, reports);
}

// The mark Bazel's test runner asks for: there from the launch's start
// until the launcher ends by itself, so that a launcher killed on the way
// is told from one that ended.
struct PrematureExitMark {
  std::string path;
  explicit PrematureExitMark(std::string at) : path(std::move(at)) {
    if (!path.empty()) open_file(path, "wb");
  }
  ~PrematureExitMark() {
    if (!path.empty()) remove_file(path);
  }
};

// Reads the cases of the list file |path| into |*list|; what is wrong
// with it, or empty.
std::string load_case_list(const std::string& path, std::vector<ListedCase>* list) {
  // A list is names: a file this large is some other file.
  constexpr size_t kMostListBytes = 64 << 20;
  File file;
  if (int error = open_to_read(path, &file)) return "cannot read " + path + ": " + strerror(error);
  std::string text;
  char piece[64 * 1024];
  size_t got = 0;
  while ((got = fread(piece, 1, sizeof piece, file.get())) > 0 && text.size() <= kMostListBytes)
    text.append(piece, got);
  if (ferror(file.get())) return "cannot read " + path + ": " + strerror(failed_call_error());
  if (text.size() > kMostListBytes) return path + " is larger than 64 MiB";
  std::string problem;
  if (!parse_case_list(text, list, &problem)) return path + ": " + problem;
  return "";
}

// A run's own chip folder, removed once the run is over.
struct FreshChip {
  std::string dir;
  ~FreshChip() { remove(); }
  void remove() {
    if (!dir.empty()) remove_chip_folder(dir);
    dir.clear();
  }
};

}  // namespace

int launch(Request r) {
  if (!r.error.empty()) return complain(kStatusUsage, r.error);
  apply_ci_environment(read_ci_environment(), &r);
  const PrematureExitMark mark(r.ci.premature_exit_file);
  if (r.cases_list_path) {
    const std::string problem = load_case_list(*r.cases_list_path, &r.listed_cases);
    if (!problem.empty()) return complain(kStatusUsage, "--cases-list: " + problem);
  }
  std::string problem;
  if (r.gdb_port && !choose_debugger_port(&*r.gdb_port, &problem))
    return complain(kStatusUsage, problem);
  ChipChoice chip;
  if (!r.fresh_chip) {
    chip = choose_chip(r.chip_dir, "--chip-dir");
    if (!chip.problem.empty()) return complain(kStatusUsage, chip.problem);
  } else if (r.chip_from) {
    const std::string problem = chip_template_problem("--chip-from", *r.chip_from);
    if (!problem.empty()) return complain(kStatusUsage, problem);
  }
  // Each file is read for its size before the chip is touched.
  std::vector<Load> loads = r.loads;
  for (Load& load : loads) {
    const std::string problem = check_load(&load);
    if (!problem.empty()) return complain(kStatusUsage, "--load: " + problem);
  }
  // The program's line information is read before anything starts.
  CoverageRun coverage;
  const std::string coverage_problem = coverage.prepare(&r);
  if (!coverage_problem.empty()) return complain(kStatusUsage, coverage_problem);
  Reports reports;
  if (!open_reports(r, &reports)) return kStatusUsage;
  if (coverage.active()) reports.coverage = &coverage;
  if (r.watched) {
    const std::string problem = setup_problem_before_start(r);
    if (!problem.empty()) return refuse_setup(problem, r, reports);
  }
  FreshChip fresh;
  BackingFiles files;
  if (r.fresh_chip) {
    // What runs killed before left behind goes first.
    remove_abandoned_fresh_chips(r.ci.test_tmpdir);
    if (!create_fresh_chip_dir(&fresh.dir, r.ci.test_tmpdir)) {
      const int error = errno;
      const std::string parent = r.ci.test_tmpdir.empty() ? temporary_directory() : r.ci.test_tmpdir;
      const std::string text = "cannot create a fresh chip in " + parent + ": " + strerror(error);
      complain(0, text);
      return refuse_launch(kStatusUsage, text, r, reports);
    }
    files = backing_files_in(fresh.dir);
    if (r.chip_from) {
      const TemplateCopy copy = copy_chip_template(*r.chip_from, files);
      if (copy.outcome == TemplateCopy::Outcome::kInUse)
        return refuse_chip_in_use(chip_in_use_text(*r.chip_from, copy.holder), r, reports);
      if (copy.outcome == TemplateCopy::Outcome::kFailed)
        return refuse_setup(copy.problem, r, reports);
    }
  } else {
    // A folder that was named reaches the simulator whole, wherever it was
    // named from.
    files = chip.named ? backing_files_in(absolute_path(chip.files.dir)) : chip.files;
  }
  const std::string path_problem = line_paths_problem(r, files, fresh.dir);
  if (!path_problem.empty()) return refuse_setup(path_problem, r, reports);
  bool stop_requested = false;
  const int status = launch_on(r, loads, files, fresh.dir, &reports, &stop_requested);
  if (stop_requested) {
    fresh.remove();
    BoundCommand::obey_stop_request();
  }
  return status;
}
