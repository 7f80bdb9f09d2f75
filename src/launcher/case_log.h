// The firmware's own test cases during a watched run (--cases): the failed
// ones said on standard error, and every one kept for the report in a
// file of its own until the run ends, so that memory stays the same
// however many cases the firmware runs.
#ifndef ZELK_LAUNCHER_CASE_LOG_H_
#define ZELK_LAUNCHER_CASE_LOG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "run_control/cases.h"
#include "run_control/report_file.h"
#include "run_control/verdict.h"

// The most failed cases said one by one.
constexpr size_t kFailuresSaid = 10;

class CaseLog {
 public:
  CaseLog() = default;
  CaseLog(const CaseLog&) = delete;
  CaseLog& operator=(const CaseLog&) = delete;
  ~CaseLog();

  // Makes the file the report's cases wait in; false with |*problem| set
  // when it cannot. Cases of no suite are reported in |classname|.
  bool open(const std::string& classname, std::string* problem);
  // Takes the cases finished since the last call, and empties the list.
  void take(std::vector<CaseResult>* finished);
  // Takes failed cases the output did not show (listed cases that never
  // ran), which count beside the reader's; |ending_shown|: one of them
  // holds how the run ended, so the run needs no testcase of its own.
  void take_missing(std::vector<CaseResult>* missing, bool ending_shown);
  // The first failed cases (at most kSummaryFailures), and how many failed.
  const std::vector<CaseResult>& first_failed() const { return first_failed_; }
  uint64_t failed() const { return failed_; }
  // The reader's counts with the missing cases added.
  CaseCounts counts(const CaseCounts& read) const;
  // The failed cases, then the counts: the lines said on standard error.
  std::vector<std::string> lines(const CaseCounts& counts) const;
  // The report of every case, and of the run itself when it failed for
  // what no case shows, its cases read back from the file they waited in;
  // false with |*problem| set when they cannot be.
  bool report(const std::string& name, double seconds, const Verdict& verdict,
              const CaseReader& cases, const std::string& tail, const std::string& steps,
              ReportText* report, std::string* problem);

 private:
  // Testcases wait here, a few at a time, to be written to the file.
  void write_pending();
  static constexpr size_t kPendingBytes = 64 * 1024;

  File spool_;
  std::string pending_;
  std::string classname_;
  std::string spool_path_;
  int spool_error_ = 0;
  std::vector<std::string> failures_;
  std::vector<CaseResult> first_failed_;
  uint64_t failed_ = 0;
  uint64_t missing_ = 0;
  bool ending_shown_ = false;
};

#endif  // ZELK_LAUNCHER_CASE_LOG_H_
