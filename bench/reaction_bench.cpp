// reaction_bench: times how fast a watched launch ends once its expected
// text has appeared: from the moment the text comes out of the launcher's
// standard output to the launcher's exit, its simulator ended. The
// simulator must print the text and then run on (the stand-in with
// ZELK_STANDIN_PRINT and ZELK_STANDIN_HOLD_MS). Prints the median of RUNS
// launches in milliseconds. With --until REPLY, times from TEXT to REPLY
// on the launcher's output instead: a send's round trip, when the launch
// answers TEXT and the simulator answers what it reads with REPLY (the
// stand-in with ZELK_STANDIN_ANSWER).
//
//   reaction_bench RUNS TEXT [--until REPLY] LAUNCHER WORDS...
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One launch; the time from TEXT on its standard output to its exit, or a
// negative number when it ended without the text.
double one_reaction(const std::string& text, const std::string& until, char** argv) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    // The launcher's line on how the run ended is not wanted here.
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execv(argv[0], argv);
    _exit(127);
  }
  close(out[1]);
  std::string seen;
  char buf[4096];
  ssize_t n;
  while (seen.find(text) == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0)
    seen.append(buf, static_cast<size_t>(n));
  const Clock::time_point arrived = Clock::now();
  bool found = seen.find(text) != std::string::npos;
  if (!until.empty()) {
    const size_t after = seen.find(text) + text.size();
    while (found && seen.find(until, after) == std::string::npos &&
           (n = read(out[0], buf, sizeof buf)) > 0)
      seen.append(buf, static_cast<size_t>(n));
    found = found && seen.find(until, after) != std::string::npos;
  }
  const Clock::time_point answered = Clock::now();
  if (!until.empty()) kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  const Clock::time_point ended = until.empty() ? Clock::now() : answered;
  close(out[0]);
  return found ? std::chrono::duration<double, std::milli>(ended - arrived).count() : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: reaction_bench RUNS TEXT [--until REPLY] LAUNCHER WORDS...\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  std::string until;
  int launcher = 3;
  if (std::string(argv[3]) == "--until" && argc > 5) {
    until = argv[4];
    launcher = 5;
  }
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double ms = one_reaction(argv[2], until, argv + launcher);
    if (ms < 0) {
      fprintf(stderr, "reaction_bench: the launch ended without '%s'\n", argv[2]);
      return 1;
    }
    times.push_back(ms);
  }
  std::sort(times.begin(), times.end());
  printf("%.2f\n", times[times.size() / 2]);
  return 0;
}
