#include "launcher/launch.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "launcher/notes.h"
#include "loading/elf2bin.h"
#include "platform/bound_command.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "run_control/junit.h"
#include "run_control/output_watch.h"
#include "run_control/report_file.h"
#include "storage/backing_files.h"
#include "storage/copy2flash.h"
#include "storage/fresh_chip.h"

namespace {

// The length test covers the head and the user's words, not the tail.
constexpr size_t kArgsLimit = 1024;
// The most of the simulator's output relayed at once.
constexpr size_t kRelayPiece = 256 * 1024;

int complain(int status, const std::string& text) {
  fprintf(stderr, "zelk_sim: %s\n", text.c_str());
  return status;
}

// The files a watched run writes: the console's copy as it arrives, and
// the report, which is always a whole document: the run not finished until
// it has, then its verdict.
struct Reports {
  File log;
  std::string log_path;
  std::optional<std::string> junit_path;
};

// The test's name in the report: the one given, the project's, or the ELF's.
std::string test_name(const Request& r) {
  if (r.test_name) return *r.test_name;
  if (r.project) {
    std::string cwd;
    current_directory(&cwd);
    return last_path_component(cwd);
  }
  if (!r.elf_path) return "zelk_sim";
  std::string name = last_path_component(*r.elf_path);
  const std::string ext = ".elf";
  if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
    name.resize(name.size() - ext.size());
  return name;
}

// Creates the report files before anything else is done, so that one that
// cannot be created refuses the launch with nothing written; a refusal
// leaves no file behind that was not there before.
bool open_reports(const Request& r, Reports* reports) {
  std::vector<std::string> created;
  auto refuse = [&](const std::string& problem) {
    complain(kStatusUsage, problem);
    for (const std::string& path : created) remove_file(path);
    return false;
  };
  for (const auto* path : {&r.log_path, &r.junit_path}) {
    if (!*path) continue;
    const bool existed = path_exists(**path);
    // Appending creates the file but keeps what it holds until every one
    // is known to be writable.
    File probe = open_file(**path, "ab");
    if (!probe) return refuse("cannot create " + **path + ": " + strerror(errno));
    if (!existed) created.push_back(**path);
  }
  std::string problem;
  if (r.junit_path && !write_report_file(*r.junit_path, junit_unfinished_report(test_name(r)),
                                          &problem))
    return refuse(problem);
  if (r.log_path) {
    reports->log = open_file(*r.log_path, "wb");
    if (!reports->log) return refuse("cannot create " + *r.log_path + ": " + strerror(errno));
    setvbuf(reports->log.get(), nullptr, _IONBF, 0);
    reports->log_path = *r.log_path;
  }
  reports->junit_path = r.junit_path;
  return true;
}

// Replaces the report with the run's; false, said, when it cannot.
bool write_report(const Reports& reports, const std::string& name, double seconds,
                  const Verdict& verdict, const std::string& tail, const std::string& steps = "") {
  std::string problem;
  if (!reports.junit_path ||
      write_report_file(*reports.junit_path, junit_report(name, seconds, verdict, tail, steps),
                        &problem))
    return true;
  complain(0, problem);
  return false;
}

// A launch that ends before the simulator starts still has its report.
int refuse_launch(int status, const std::string& reason, const Request& r, const Reports& reports) {
  Verdict v;
  v.status = status;
  v.reason = reason;
  write_report(reports, test_name(r), 0, v, "");
  return status;
}

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

// Passes the console output on to the launcher's own output and the log.
// A write that fails is said once, and the relay to that place stops; a
// reader that went away (| head) is no failure, and the watch goes on.
struct Relay {
  bool to_console = true;
  bool log_failed = false;

  void pass_on(const char* data, size_t len, Reports* reports) {
    if (to_console) {
      const OutputWrite written = write_standard_output(data, len);
      if (written == OutputWrite::kFailed)
        complain(0, std::string("cannot write the console output: ") + strerror(errno));
      to_console = written == OutputWrite::kWritten;
    }
    if (reports->log && !log_failed && fwrite(data, 1, len, reports->log.get()) != len) {
      log_failed = true;
      complain(0, "cannot write " + reports->log_path + ": " + strerror(errno));
    }
  }
};

// A conversation's record for the report: each expect seen and each send
// written, when.
struct Steps {
  std::string text;
  size_t expects_told = 0;

  void expects_seen(const RunControl& control, const OutputWatch& watch, double seconds) {
    for (; expects_told < watch.expects_seen(); ++expects_told)
      text += "expect " + quoted_text(control.expect[expects_told]) + " seen after " +
              seconds_text(seconds) + "\n";
  }
};

// Writes the sends that are due; false, with |end| saying why, when one
// cannot be written.
bool write_sends(BoundCommand* command, OutputWatch* watch, double seconds, Steps* steps,
                 RunEnd* end) {
  while (const Send* send = watch->send_due()) {
    if (!command->send(send->bytes.data(), send->bytes.size())) {
      end->cause = RunEnd::Cause::kSendFailed;
      end->send_error = strerror(errno);
      return false;
    }
    watch->sent();
    steps->text += "sent " + quoted_text(send->text) + " after " + seconds_text(seconds) + "\n";
  }
  return true;
}

// Runs the line with its standard output passing through the launcher on
// its way to the console, watched for the run-control texts; ends the
// simulator when they or the timeout decide the run.
int watch_qemu(const std::string& line, const FileLock& lock, const Request& r,
               Reports* reports) {
  using Clock = std::chrono::steady_clock;
  OutputWatch watch(r.control);
  OutputTail tail(kReportTailBytes);
  BoundCommand command;
  const Clock::time_point started = Clock::now();
  auto elapsed_ms = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  };
  auto elapsed_s = [&] { return static_cast<double>(elapsed_ms()) / 1000; };
  RunEnd end;
  Steps steps;
  BoundCommand::Options options;
  options.capture = true;
  options.input = !r.control.sends.empty();
  options.shared_lock = &lock;
  bool running = command.start(line, options);
  if (!command.problem().empty()) complain(0, command.problem());
  // Nothing ran: no verdict on the firmware can be given.
  if (!running) return refuse_launch(kStatusUsage, command.problem(), r, *reports);
  running = write_sends(&command, &watch, elapsed_s(), &steps, &end);
  std::vector<char> piece(kRelayPiece);
  Relay relay;
  while (running) {
    int64_t left = -1;
    if (r.control.timeout_ms) left = static_cast<int64_t>(*r.control.timeout_ms) - elapsed_ms();
    size_t got = 0;
    const BoundCommand::Event event =
        left < 0 && r.control.timeout_ms ? BoundCommand::Event::kTimedOut
                                         : command.wait(left, piece.data(), piece.size(), &got);
    switch (event) {
      case BoundCommand::Event::kOutput:
        relay.pass_on(piece.data(), got, reports);
        watch.feed(piece.data(), got);
        tail.keep(piece.data(), got);
        steps.expects_seen(r.control, watch, elapsed_s());
        if (watch.decided()) {
          end.cause = watch.cause();
          end.fail_index = watch.fail_index();
          running = false;
        } else {
          running = write_sends(&command, &watch, elapsed_s(), &steps, &end);
        }
        break;
      case BoundCommand::Event::kEnded:
        end.cause = RunEnd::Cause::kEndedByItself;
        end.simulator_status = command.status();
        running = false;
        break;
      case BoundCommand::Event::kTimedOut:
        end.cause = RunEnd::Cause::kTimedOut;
        running = false;
        break;
      case BoundCommand::Event::kInterrupt:
      case BoundCommand::Event::kStopRequest:
        end.cause = RunEnd::Cause::kInterrupted;
        running = false;
        break;
    }
  }
  command.end();
  end.seconds = elapsed_s();
  end.expects_seen = watch.expects_seen();
  end.sends_written = watch.sends_written();
  Verdict verdict = judge_run(r.control, end);
  // The log promised every byte: a run whose log lost some is no pass.
  if (relay.log_failed && verdict.status == 0) verdict.status = 1;
  complain(0, verdict.reason);
  // A report cut short is no report: the run cannot count as a pass.
  if (!write_report(*reports, test_name(r), end.seconds, verdict, tail.text(), steps.text) &&
      verdict.status == 0)
    return 1;
  return verdict.status;
}

}  // namespace

CommandLine build_command_line(Request r, const BackingFiles& files, const std::string& raw_dir) {
  print_preparation(prepare_backing_files(files));
  if (r.project) {
    // A directory that cannot be read leaves the path empty.
    std::string cwd;
    current_directory(&cwd);
    resolve_project(cwd, &r);
  }
  RawImage raw;
  const int ret = elf2bin(r.elf_path ? r.elf_path->c_str() : nullptr, &raw, raw_dir);
  if (ret != kElfOk) printf("copy cmd ret = %d\n", ret);
  if (r.image_path) print_copy(copy2flash(r.image_path->c_str(), files.flash.c_str()));
  return cmd_copy(r, prefix_args(files), ret == kElfOk ? &raw : nullptr);
}

namespace {

// The launch on the chip in |files|, its lock held until the simulator has
// ended; |*stop_requested| when the launcher was asked to end while an
// unwatched simulator ran.
int launch_on(const Request& r, const BackingFiles& files, const std::string& raw_dir,
              Reports* reports, bool* stop_requested) {
  // One launch at a time owns the chip.
  FileLock lock;
  long holder = 0;
  if (!files.dir.empty()) {
    const FileLock::Status status = lock_chip(files, &lock, &holder);
    if (status == FileLock::Status::kHeld) {
      const std::string text = chip_in_use_text(files.dir, holder);
      fprintf(stderr, "%s\n", text.c_str());
      return refuse_launch(1, text, r, *reports);
    }
    if (status == FileLock::Status::kFailed)
      fprintf(stderr, "%s\n", chip_not_locked_text(files.dir).c_str());
  }

  const CommandLine line = build_command_line(r, files, raw_dir);
  if (line.region_end >= kArgsLimit) {
    printf("args too long\n");
    return refuse_launch(1, "args too long", r, *reports);
  }
  fflush(stdout);
  if (!r.watched) {
    *stop_requested = start_qemu(line.text, lock);
    return 0;
  }
  return watch_qemu(line.text, lock, r, reports);
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

int launch(const Request& r) {
  if (!r.error.empty()) return complain(kStatusUsage, r.error);
  ChipChoice chip;
  if (!r.fresh_chip) {
    chip = choose_chip(r.chip_dir, "--chip-dir");
    if (!chip.problem.empty()) return complain(kStatusUsage, chip.problem);
  }
  Reports reports;
  if (!open_reports(r, &reports)) return kStatusUsage;
  FreshChip fresh;
  BackingFiles files;
  if (r.fresh_chip) {
    // What runs killed before left behind goes first.
    remove_abandoned_fresh_chips();
    if (!create_fresh_chip_dir(&fresh.dir)) {
      const std::string text =
          "cannot create a fresh chip in " + temporary_directory() + ": " + strerror(errno);
      complain(0, text);
      return refuse_launch(kStatusUsage, text, r, reports);
    }
    files = backing_files_in(fresh.dir);
  } else {
    // A folder that was named reaches the simulator whole, wherever it was
    // named from.
    files = chip.named ? backing_files_in(absolute_path(chip.files.dir)) : chip.files;
  }
  bool stop_requested = false;
  const int status = launch_on(r, files, fresh.dir, &reports, &stop_requested);
  if (stop_requested) {
    fresh.remove();
    BoundCommand::obey_stop_request();
  }
  return status;
}
