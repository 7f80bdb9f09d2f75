#include "launcher/watched_run.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "launcher/case_log.h"
#include "launcher/coverage_run.h"
#include "platform/background_writer.h"
#include "platform/bound_command.h"
#include "run_control/case_list.h"
#include "run_control/github.h"
#include "run_control/junit.h"
#include "run_control/output_watch.h"
#include "run_control/report_file.h"
#include "run_control/verdict.h"

int complain(int status, const std::string& text) {
  fprintf(stderr, "zelk_sim: %s\n", text.c_str());
  return status;
}

namespace {

using Clock = std::chrono::steady_clock;

// The most of the simulator's output relayed at once.
constexpr size_t kRelayPiece = 256 * 1024;
// How much of the console output may wait for a slow reader before the
// watch stops reading the simulator, which then waits in its turn.
constexpr size_t kRelayRoom = 1 << 20;
// How long a watch held up by its output waits for room before it looks
// at the signals, the sends and the time again.
constexpr int64_t kPauseMs = 5;
// What is left to write once the run is over gets at least this long,
// though the run's time is up: a reader that is there takes it at once.
constexpr int64_t kLeftToWriteMs = 200;

// How long what is left to write may take: until the run's time is up
// (never less than a moment), or a signal. A signal ends every later wait
// too: what came after it is not waited for.
struct Patience {
  BoundCommand* command = nullptr;  // hears the signals; none: only the time
  bool limited = false;
  Clock::time_point until;
  bool over = false;
  bool signalled = false;  // a signal came while something was left

  Patience(BoundCommand* heard, const RunControl& control, Clock::time_point started)
      : command(heard), limited(control.timeout_ms.has_value()) {
    if (!limited) return;
    until = std::max(started + std::chrono::milliseconds(*control.timeout_ms),
                     Clock::now() + std::chrono::milliseconds(kLeftToWriteMs));
  }

  // True once |done| says so; false when the time or a signal came first.
  bool wait_for(const std::function<bool()>& done) {
    while (!done()) {
      if (over) return false;
      int64_t slice = kPauseMs;
      if (limited) {
        const int64_t left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        slice = std::min(slice, left);
      }
      if (!command) {
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        continue;
      }
      const BoundCommand::Event event = command->wait_without_output(slice);
      over = signalled =
          event == BoundCommand::Event::kInterrupt || event == BoundCommand::Event::kStopRequest;
    }
    return true;
  }
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

// How much of a report's cases waits for a stream's reader at once.
constexpr size_t kReportPiece = 64 * 1024;

// Replaces the report at |path| with |report|, or writes it to the stream
// the path names, as |patience| allows; false, said, when it cannot.
bool write_report_to(const std::string& path, const ReportText& report, Patience* patience) {
  std::string problem;
  if (!report_is_stream(path)) {
    if (write_report_file(path, report.head, report.body, report.foot, &problem)) return true;
    complain(0, problem);
    return false;
  }
  BackgroundWriter stream(report_stream_sink(path), kReportPiece);
  stream.put(report.head.data(), report.head.size());
  std::vector<char> piece(report.body ? kReportPiece : 0);
  bool written = !report.body || fseek(report.body, 0, SEEK_SET) == 0;
  while (written && report.body) {
    written = patience->wait_for([&] { return stream.has_room() || stream.idle(); });
    const size_t n = written ? fread(piece.data(), 1, piece.size(), report.body) : 0;
    if (n == 0) break;
    stream.put(piece.data(), n);
  }
  if (written && report.body && ferror(report.body)) {
    complain(0, report_problem(path, EIO));
    return false;
  }
  stream.put(report.foot.data(), report.foot.size());
  stream.close();
  written = written && patience->wait_for([&] { return stream.idle(); });
  int error = 0;
  if (written && stream.state(&error) == OutputWrite::kWritten) return true;
  complain(0, written             ? report_problem(path, error)
              : patience->signalled ? "cannot write " + path + ": interrupted before a reader took it"
                                    : "cannot write " + path + ": no reader took it in time");
  return false;
}

// Replaces the report with the run's as a whole document.
bool write_report(const Reports& reports, const std::string& name, double seconds,
                  const Verdict& verdict, const std::string& tail, Patience* patience,
                  const std::string& steps = "") {
  if (!reports.junit_path) return true;
  ReportText report;
  report.head = junit_report(name, seconds, verdict, tail, steps);
  return write_report_to(*reports.junit_path, report, patience);
}

// What GitHub Actions shows of the run: its summary appended to the job's
// page, and the failed cases marked on their lines. The marks go to
// stderr, where the runner reads them as well, so that the console's
// bytes on stdout and in the log stay the simulator's alone.
void write_ci_pages(const CiEnvironment& ci, const std::string& name, const Verdict& verdict,
                    const CaseCounts* counts, const CaseLog& case_log) {
  if (ci.annotations) {
    const std::string lines = github_annotations(case_log.first_failed());
    fputs(lines.c_str(), stderr);
  }
  if (ci.step_summary.empty()) return;
  const std::string md =
      github_summary(name, verdict, counts, case_log.first_failed(), case_log.failed());
  // Appended, never replaced: each run of a step adds its own.
  File file = open_file(ci.step_summary, "ab");
  if (!file || fwrite(md.data(), 1, md.size(), file.get()) != md.size() ||
      fflush(file.get()) != 0)
    complain(0, "cannot write " + ci.step_summary + ": " + strerror(failed_call_error()));
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
    // A FIFO's opening would wait for its reader.
    if (!*path || (path == &r.junit_path && report_is_stream(**path))) continue;
    const bool existed = path_exists(**path);
    // Appending creates the file but keeps what it holds until every one
    // is known to be writable.
    File probe = open_file(**path, "ab");
    if (!probe) return refuse("cannot create " + **path + ": " + strerror(errno));
    if (!existed) created.push_back(**path);
  }
  std::string problem;
  // A stream gets the final report alone: a reader would take the first.
  if (r.junit_path && !report_is_stream(*r.junit_path) &&
      !write_report_file(*r.junit_path, junit_unfinished_report(test_name(r)), &problem))
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
int refuse_launch(int status, const std::string& reason, const Request& r, const Reports& reports,
                  BoundCommand* command) {
  Verdict v;
  v.status = status;
  v.reason = reason;
  v.setup_problem = true;
  Patience patience(command, r.control, Clock::now());
  write_report(reports, test_name(r), 0, v, "", &patience);
  if (r.watched) write_ci_pages(r.ci, test_name(r), v, nullptr, CaseLog());
  return status;
}

namespace {

// Passes the console output on to the launcher's own output and the log,
// each written by a thread of its own, so that a reader that takes its
// time holds up neither the watch nor the simulator's input. A write that
// fails is said once, and the relay to that place stops; a reader that
// went away (| head) is no failure, and the watch goes on.
struct Relay {
  BackgroundWriter console{[](const char* data, size_t len) {
                             return data ? write_standard_output(data, len) : OutputWrite::kWritten;
                           },
                           kRelayRoom};
  std::unique_ptr<BackgroundWriter> log;
  std::string log_path;
  bool console_said = false, log_failed = false;

  explicit Relay(Reports* reports) : log_path(reports->log_path) {
    if (!reports->log) return;
    // The writer's thread owns it: one still writing when the launcher
    // ends keeps it open.
    std::shared_ptr<FILE> file(reports->log.release(), FileCloser());
    log.reset(new BackgroundWriter(
        [file](const char* data, size_t len) {
          return data ? write_file_bytes(file.get(), data, len) : OutputWrite::kWritten;
        },
        kRelayRoom));
  }

  void pass_on(const char* data, size_t len) {
    console.put(data, len);
    if (log) log->put(data, len);
    say_failures();
  }

  bool has_room() const { return console.has_room() && (!log || log->has_room()); }
  void wait_for_room(int64_t ms) const {
    if (console.wait_for_room(ms) && log) log->wait_for_room(ms);
  }
  bool idle() const { return console.idle() && (!log || log->idle()); }

  void say_failures() {
    int error = 0;
    if (!console_said && console.state(&error) == OutputWrite::kFailed) {
      console_said = true;
      complain(0, std::string("cannot write the console output: ") + strerror(error));
    }
    if (log && !log_failed && log->state(&error) != OutputWrite::kWritten) {
      log_failed = true;
      complain(0, "cannot write " + log_path + ": " + strerror(error));
    }
  }

  // What is left is written as |patience| allows; a log that could not
  // take it all lost bytes.
  void finish(Patience* patience) {
    patience->wait_for([this] { return idle(); });
    say_failures();
    if (log && !log_failed && !log->idle()) {
      log_failed = true;
      complain(0, "cannot write " + log_path + ": the run ended before it took everything");
    }
    if (!console_said && !console.idle()) {
      console_said = true;
      complain(0, "the console output was not all written: the run ended before its reader took it");
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

// Starts the send that is due, where none is in flight; false, with |end|
// saying why, when the input is closed.
bool start_send(BoundCommand* command, const OutputWatch& watch, bool* in_flight, RunEnd* end) {
  const Send* send = watch.send_due();
  if (!send || *in_flight) return true;
  if (!command->send(send->bytes.data(), send->bytes.size())) {
    end->cause = RunEnd::Cause::kSendFailed;
    end->send_error = strerror(errno);
    return false;
  }
  *in_flight = true;
  return true;
}

}  // namespace

// Runs the line with its standard output passing through the launcher on
// its way to the console, watched for the run-control texts; ends the
// simulator when they or the timeout decide the run.
int watch_qemu(const std::string& line, const FileLock& lock, const Request& r,
               Reports* reports) {
  OutputWatch watch(r.control);
  OutputTail tail(kReportTailBytes);
  BoundCommand command;
  const Clock::time_point started = Clock::now();
  auto elapsed_ms = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  };
  auto elapsed_s = [&] { return static_cast<double>(elapsed_ms()) / 1000; };
  auto time_is_up = [&] {
    return r.control.timeout_ms && elapsed_ms() >= static_cast<int64_t>(*r.control.timeout_ms);
  };
  RunEnd end;
  Steps steps;
  CaseLog case_log;
  std::optional<CaseListCheck> listed;
  if (watch.cases() && !r.listed_cases.empty()) listed.emplace(r.listed_cases);
  // The cases finished since the last call, checked against the list and
  // kept for the report.
  auto take_cases = [&](std::vector<CaseResult>* finished) {
    if (listed)
      for (const CaseResult& c : *finished) listed->see(c);
    case_log.take(finished);
  };
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
  if (!running) return refuse_launch(kStatusUsage, command.problem(), r, *reports, &command);
  bool sending = false;
  running = start_send(&command, watch, &sending, &end);
  std::vector<char> piece(kRelayPiece);
  Relay relay(reports);
  while (running) {
    int64_t left = -1;
    if (r.control.timeout_ms) left = static_cast<int64_t>(*r.control.timeout_ms) - elapsed_ms();
    // While the output has nowhere to go, the simulator's is left unread;
    // the time, the signals and the sends go on.
    const bool room = relay.has_room();
    size_t got = 0;
    BoundCommand::Event event = BoundCommand::Event::kTimedOut;
    if (!(left < 0 && r.control.timeout_ms)) {
      if (!room) relay.wait_for_room(left < 0 || left > kPauseMs ? kPauseMs : left);
      event = room ? command.wait(left, piece.data(), piece.size(), &got)
                   : command.wait_without_output(0);
    }
    switch (event) {
      case BoundCommand::Event::kOutput:
        relay.pass_on(piece.data(), got);
        watch.feed(piece.data(), got, elapsed_s());
        if (watch.cases()) take_cases(watch.cases()->finished());
        tail.keep(piece.data(), got);
        steps.expects_seen(r.control, watch, elapsed_s());
        if (watch.decided()) {
          end.cause = watch.cause();
          end.fail_index = watch.fail_index();
          running = false;
        } else {
          running = start_send(&command, watch, &sending, &end);
        }
        break;
      case BoundCommand::Event::kSent:
        sending = false;
        steps.text += "sent " + quoted_text(watch.send_due()->text) + " after " +
                      seconds_text(elapsed_s()) + "\n";
        watch.sent();
        running = start_send(&command, watch, &sending, &end);
        break;
      case BoundCommand::Event::kSendFailed:
        end.cause = RunEnd::Cause::kSendFailed;
        end.send_error = strerror(errno);
        running = false;
        break;
      case BoundCommand::Event::kEnded:
        // Its last line, if it had no end, ended with it.
        watch.end_of_output(elapsed_s());
        if (watch.cases()) take_cases(watch.cases()->finished());
        steps.expects_seen(r.control, watch, elapsed_s());
        end.cause = watch.decided() ? watch.cause() : RunEnd::Cause::kEndedByItself;
        end.fail_index = watch.fail_index();
        end.simulator_status = command.status();
        running = false;
        break;
      case BoundCommand::Event::kTimedOut:
        // A pause while the output had no room is no timeout.
        if (room || time_is_up()) {
          end.cause = RunEnd::Cause::kTimedOut;
          running = false;
        }
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
    take_cases(cases->finished());
    end.cases = cases;
  }
  Verdict verdict = judge_run(r.control, end);
  if (listed) {
    // How the run ended, told without the cases: a listed case may hold it.
    RunEnd plain = end;
    plain.cases = nullptr;
    ListJudgement judgement =
        listed->judge(end, *end.cases, judge_run(r.control, plain).reason, &verdict);
    case_log.take_missing(&judgement.missing, judgement.ending_in_a_case);
    if (judgement.unlisted > 0)
      complain(0, std::to_string(judgement.unlisted) +
                      (judgement.unlisted == 1 ? " case ran that the list does not hold"
                                               : " cases ran that the list does not hold"));
  }
  Patience patience(&command, r.control, started);
  // An interrupted launcher waits for no reader.
  patience.over = end.cause == RunEnd::Cause::kInterrupted;
  relay.finish(&patience);
  // The log promised every byte: a run whose log lost some is no pass.
  if (relay.log_failed && verdict.status == 0) verdict.status = 1;
  // Whatever ended the run: a crash is when coverage matters most.
  if (reports->coverage && !reports->coverage->finish() && verdict.status == 0) verdict.status = 1;
  if (end.cases) {
    const std::vector<std::string> lines = case_log.lines(case_log.counts(end.cases->counts()));
    for (const std::string& line : lines) complain(0, line);
    if (verdict.reason != lines.back()) complain(0, verdict.reason);
  } else {
    complain(0, verdict.reason);
  }
  // A report cut short is no report: the run cannot count as a pass.
  bool written = true;
  if (end.cases && reports->junit_path) {
    ReportText report;
    std::string problem;
    written = case_log.report(test_name(r), end.seconds, verdict, *end.cases, tail.text(),
                              steps.text, &report, &problem) &&
              write_report_to(*reports->junit_path, report, &patience);
    if (!problem.empty()) complain(0, problem);
  } else {
    written = write_report(*reports, test_name(r), end.seconds, verdict, tail.text(), &patience,
                           steps.text);
  }
  if (!written && verdict.status == 0) verdict.status = 1;
  verdict.passed = verdict.status == 0;
  const CaseCounts counts = end.cases ? case_log.counts(end.cases->counts()) : CaseCounts();
  write_ci_pages(r.ci, test_name(r), verdict, end.cases ? &counts : nullptr, case_log);
  // A launcher asked to end while it waited for a reader ends as asked.
  return patience.signalled ? kStatusInterrupted : verdict.status;
}
