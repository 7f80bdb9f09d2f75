// A launch's coverage: the program's line map read before anything starts,
// the simulator's translation log in a file of the launch's own, and, when
// the run is over, whatever ended it, the reports written and summed up.
#ifndef ZELK_LAUNCHER_COVERAGE_RUN_H_
#define ZELK_LAUNCHER_COVERAGE_RUN_H_

#include <string>

#include "coverage/line_map.h"
#include "launcher/request.h"

class CoverageRun {
 public:
  CoverageRun() = default;
  CoverageRun(const CoverageRun&) = delete;
  CoverageRun& operator=(const CoverageRun&) = delete;
  // The log goes with the launch, whatever ends it.
  ~CoverageRun();

  // Reads the line map of the ELF |r| names (project mode resolved against
  // the current directory) and creates the log's file, whose name goes to
  // |r|. Empty, or why the launch is refused.
  std::string prepare(Request* r);

  // Reads the log into the map, writes each report and says the summary.
  // False, said, when the log could not be read or a report not written.
  bool finish();

  bool active() const { return !log_path_.empty(); }

 private:
  LineMap map_;
  Request request_;
  std::string log_path_;
  bool finished_ = false;
};

#endif  // ZELK_LAUNCHER_COVERAGE_RUN_H_
