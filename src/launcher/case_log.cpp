#include "launcher/case_log.h"

#include <cstring>

#include "platform/platform.h"
#include "run_control/case_list.h"
#include "run_control/github.h"
#include "run_control/junit.h"
#include "run_control/report_file.h"

namespace {

// A case's message on one line: each run of blanks and line ends one
// space, and no longer than a screen line or two.
std::string one_line(const std::string& text) {
  constexpr size_t kMost = 160;
  std::string line;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (blank && (line.empty() || line.back() == ' ')) continue;
    line.push_back(blank ? ' ' : c);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (line.size() > kMost) line = line.substr(0, kMost) + "...";
  return line;
}

}  // namespace

CaseLog::~CaseLog() {
  if (!spool_path_.empty()) {
    spool_.reset();
    remove_file(spool_path_);
  }
}

bool CaseLog::open(const std::string& classname, std::string* problem) {
  classname_ = classname;
  const std::string stem = temporary_directory() + kPathSeparator + "zelk_cases";
  spool_.reset(create_own_named_file(stem, &spool_path_));
  if (spool_) return true;
  *problem = "cannot create " + spool_path_ + ": " + strerror(failed_call_error());
  spool_path_.clear();
  return false;
}

void CaseLog::take(std::vector<CaseResult>* finished) {
  for (const CaseResult& c : *finished) {
    if (spool_ && spool_error_ == 0) {
      append_junit_case(c, classname_, &pending_);
      if (pending_.size() >= kPendingBytes) write_pending();
    }
    if (c.outcome != CaseOutcome::kFailed) continue;
    if (first_failed_.size() < kSummaryFailures) first_failed_.push_back(c);
    if (++failed_ > kFailuresSaid) continue;
    std::string line = "failed: " + case_display_name(c);
    if (!c.file.empty()) line += " at " + c.file + ":" + std::to_string(c.line);
    const std::string message = one_line(c.message);
    if (!message.empty()) line += ": " + message;
    failures_.push_back(line);
  }
  finished->clear();
}

void CaseLog::take_missing(std::vector<CaseResult>* missing, bool ending_shown) {
  missing_ += missing->size();
  ending_shown_ = ending_shown_ || ending_shown;
  take(missing);
}

CaseCounts CaseLog::counts(const CaseCounts& read) const {
  CaseCounts counts = read;
  counts.failed += missing_;
  return counts;
}

void CaseLog::write_pending() {
  if (spool_ && spool_error_ == 0 &&
      fwrite(pending_.data(), 1, pending_.size(), spool_.get()) != pending_.size())
    spool_error_ = failed_call_error();
  pending_.clear();
}

std::vector<std::string> CaseLog::lines(const CaseCounts& counts) const {
  std::vector<std::string> lines = failures_;
  if (failed_ > kFailuresSaid) lines.push_back("and " + std::to_string(failed_ - kFailuresSaid) + " more");
  lines.push_back(case_counts_text(counts));
  return lines;
}

bool CaseLog::report(const std::string& name, double seconds, const Verdict& verdict,
                     const CaseReader& cases, const std::string& tail, const std::string& steps,
                     ReportText* report, std::string* problem) {
  CaseCounts counts = this->counts(cases.counts());
  // A run that failed where no case did (no summary, a summary that
  // disagrees, a fail text, an expect missing) is a failed testcase too.
  if (!verdict.passed && !ending_shown_ && (!cases.summary_seen() || counts.failed == 0)) {
    CaseResult run;
    run.suite = "zelk_sim";
    run.name = name;
    run.outcome = CaseOutcome::kFailed;
    run.message = verdict.reason;
    run.seconds = seconds;
    std::vector<CaseResult> one = {run};
    take(&one);
    ++counts.failed;
  }
  write_pending();
  if (spool_error_ == 0 && fflush(spool_.get()) != 0) spool_error_ = failed_call_error();
  if (spool_error_ != 0) {
    *problem = "cannot write " + spool_path_ + ": " + strerror(spool_error_);
    return false;
  }
  // Read back from the start.
  spool_.reset(open_file_stream(spool_path_, "rb"));
  if (!spool_) {
    *problem = "cannot read " + spool_path_ + ": " + strerror(failed_call_error());
    return false;
  }
  report->head = junit_cases_head(name, seconds, counts);
  report->body = spool_.get();
  report->foot = junit_cases_foot(tail, steps);
  return true;
}
