#include "launcher/watched_run.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "launcher/case_log.h"
#include "platform/bound_command.h"
#include "run_control/junit.h"
#include "run_control/output_watch.h"
#include "run_control/report_file.h"
#include "run_control/verdict.h"

int complain(int status, const std::string& text) {
  fprintf(stderr, "zelk_sim: %s\n", text.c_str());
  return status;
}

namespace {

// The most of the simulator's output relayed at once.
constexpr size_t kRelayPiece = 256 * 1024;

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

}  // namespace

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

// A launch that ends before the simulator starts still has its report,
// which tells a setup that failed from firmware that did.
int refuse_launch(int status, const std::string& reason, const Request& r, const Reports& reports) {
  Verdict v;
  v.status = status;
  v.reason = reason;
  v.setup_problem = true;
  write_report(reports, test_name(r), 0, v, "");
  return status;
}

namespace {

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

}  // namespace

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
  CaseLog case_log;
  std::string case_problem;
  if (watch.cases() && reports->junit_path && !case_log.open(test_name(r), &case_problem))
    return refuse_launch(complain(kStatusUsage, case_problem), case_problem, r, *reports);
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
        watch.feed(piece.data(), got, elapsed_s());
        if (watch.cases()) case_log.take(watch.cases()->finished());
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
  if (CaseReader* cases = watch.cases()) {
    cases->end_of_output(end.seconds);
    case_log.take(cases->finished());
    end.cases = cases;
  }
  Verdict verdict = judge_run(r.control, end);
  // The log promised every byte: a run whose log lost some is no pass.
  if (relay.log_failed && verdict.status == 0) verdict.status = 1;
  if (end.cases) {
    const std::vector<std::string> lines = case_log.lines(end.cases->counts());
    for (const std::string& line : lines) complain(0, line);
    if (verdict.reason != lines.back()) complain(0, verdict.reason);
  } else {
    complain(0, verdict.reason);
  }
  // A report cut short is no report: the run cannot count as a pass.
  bool written = true;
  if (end.cases && reports->junit_path) {
    std::string problem;
    written = case_log.write_report(*reports->junit_path, test_name(r), end.seconds, verdict,
                                    *end.cases, tail.text(), steps.text, &problem);
    if (!written) complain(0, problem);
  } else {
    written = write_report(*reports, test_name(r), end.seconds, verdict, tail.text(), steps.text);
  }
  if (!written && verdict.status == 0) return 1;
  return verdict.status;
}

