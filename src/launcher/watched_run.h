// A watched run: the simulator's console output relayed to the launcher's
// own and to the log as it arrives, matched for the run-control words,
// the sends written when due, the run ended and judged, and the report
// written. The launch's sequence up to the line is launch.cpp's.
#ifndef ZELK_LAUNCHER_WATCHED_RUN_H_
#define ZELK_LAUNCHER_WATCHED_RUN_H_

#include <optional>
#include <string>

#include "launcher/request.h"
#include "platform/file.h"
#include "platform/platform.h"

class CoverageRun;

// The files a watched run writes: the console's copy as it arrives, and
// the report, which is always a whole document: the run not finished until
// it has, then its verdict.
struct Reports {
  File log;
  std::string log_path;
  std::optional<std::string> junit_path;
  // The coverage reports, written once the run is over; none without.
  CoverageRun* coverage = nullptr;
};

// Says |text| on stderr as the launcher's, and returns |status|.
int complain(int status, const std::string& text);

// Creates the report files before anything else is done, so that one that
// cannot be created refuses the launch (said) with nothing written.
bool open_reports(const Request& r, Reports* reports);

class BoundCommand;

// A launch that ends before the simulator starts still has its report,
// giving |reason| as an error of the setup, written as |command| (if any)
// lets a signal cut the wait for a reader.
int refuse_launch(int status, const std::string& reason, const Request& r,
                  const Reports& reports, BoundCommand* command = nullptr);

// Runs |line| with its standard output passing through the launcher on its
// way to the console, watched for the run-control words of |r|; ends the
// simulator when they or the timeout decide the run. Returns the exit
// status.
int watch_qemu(const std::string& line, const FileLock& lock, const Request& r,
               Reports* reports);

#endif  // ZELK_LAUNCHER_WATCHED_RUN_H_
