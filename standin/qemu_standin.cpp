// Stand-in for qemu-system-cskyv2, the zelk simulator. It accepts the
// argument forms the launcher writes, checks them as the simulator would
// (options, files, the loader's address), prints what it would run and
// exits. With ZELK_STANDIN_RECORD set it records what it received. Then,
// as a program in the simulator would, each step only where its variable
// is set:
//   ZELK_STANDIN_PRINT=TEXT        prints TEXT; \n is a line feed, \p a
//                                  pause of 100 ms after what came before
//                                  reached the reader
//   ZELK_STANDIN_CHATTER_BYTES=N   prints N bytes of log lines at once, or
//                                  with -1 a line every 10 ms for good, or
//                                  with -2 one byte every 0.2 ms for good,
//                                  each byte a write of its own, as a UART
//                                  without a FIFO delivers them
//   ZELK_STANDIN_LINE_BYTES=N      prints one line of N bytes with no end
//   ZELK_STANDIN_REPLAY=FILE       prints FILE's bytes, in pieces of uneven
//                                  sizes that cut lines anywhere
//   ZELK_STANDIN_HOLD_MS=N         holds its backing files for N ms, as the
//                                  simulator holds them while it runs: open
//                                  for writing, and on Windows shared with
//                                  readers only
//   ZELK_STANDIN_READ_BYTES=N      reads N bytes of its input, then prints
//                                  "read N bytes" (fewer where it ended)
//   ZELK_STANDIN_ANSWER=P=L=R;...  for each step prints the prompt P, reads
//                                  a line (ended by CR or LF) and prints R
//                                  and a line feed when it is L, else
//                                  "unknown: LINE"; P and R as in PRINT
//   ZELK_STANDIN_INPUT_RECORD=FILE keeps every byte it read in FILE
//   ZELK_STANDIN_EXIT=N            exits with status N (default 0)
//   ZELK_STANDIN_UNDUMPABLE=1      is not dumpable, as a simulator with file
//                                  capabilities or setuid is: its own user
//                                  cannot read its descriptors in /proc
//   ZELK_STANDIN_SIGNAL_MS=N       goes on N ms after a signal, as the
//                                  simulator's shutdown takes a while, and
//                                  then says how many signals came
//   ZELK_STANDIN_RUN=A,LO-HI,...   "runs" code at those addresses (hex):
//                                  with -d in_asm each is logged as the
//                                  simulator logs a translated block, A as
//                                  one disassembled instruction, LO-HI as
//                                  a block of HI-LO bytes printed raw, as a
//                                  simulator without a disassembler does;
//                                  to -D's file (made anew) or stderr
//   ZELK_STANDIN_RUN_TIMES=N       logs them N times over, as a simulator
//                                  that dropped its translations and made
//                                  them again through a long run would
// With -gdb tcp:127.0.0.1:PORT it listens there as the simulator's debugger
// server does, and will not start when the port is taken; with -S the
// program waits until a debugger connects (where the simulator waits for
// the debugger's first "continue"), or for good without -gdb.
// As the simulator does, it catches SIGINT, SIGTERM and SIGHUP, says
// "terminating on signal N" and exits with status 0, wherever it is; one
// that it finds ignored it leaves ignored and says so. What it prints it
// writes a byte at a time, as a simulated UART does.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/loopback.h"
#include "platform/platform.h"

namespace {

const char kName[] = "qemu-system-cskyv2";

struct Machine {
  std::string machine, name, flash, eeprom, uart, kernel, display = "gtk", gdb;
  std::string log_items, log_file;  // -d (the last one given), -D
  long gdb_port = 0;
  std::vector<std::string> nets, loaders, images, others;
};

int fail(const std::string& message) {
  fprintf(stderr, "%s: %s\n", kName, message.c_str());
  return 1;
}

void record(int argc, char** argv) {
  std::string path = environment_value("ZELK_STANDIN_RECORD");
  if (path.empty()) return;
  File out = open_file(path, "wb");
  if (!out) return;
  std::string raw;
  if (raw_command_line(&raw)) fprintf(out.get(), "%s\n", raw.c_str());
  for (int i = 1; i < argc; ++i) fprintf(out.get(), "%s\n", argv[i]);
}

std::string size_of(const std::string& path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  return ec ? std::string("missing") : std::to_string(size) + " bytes";
}

bool is_file(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool is_hex_address(const std::string& text) {
  if (text.size() < 3 || text.size() > 10 || text.compare(0, 2, "0x") != 0)
    return false;
  return text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
}

bool is_number(const std::string& text) {
  return !text.empty() && text.size() < 10 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// "key=value,key=value" after the first comma-separated word, split as
// QEMU splits an option list: at single commas, a doubled one standing for
// a comma in a value.
std::map<std::string, std::string> properties(const std::string& text) {
  std::vector<std::string> items(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ',') items.back().push_back(text[i]);
    else if (i + 1 < text.size() && text[i + 1] == ',') items.back().push_back(text[++i]);
    else items.emplace_back();
  }
  std::map<std::string, std::string> props;
  for (size_t i = 1; i < items.size(); ++i) {
    size_t eq = items[i].find('=');
    props[items[i].substr(0, eq)] = eq == std::string::npos ? "" : items[i].substr(eq + 1);
  }
  return props;
}

volatile std::sig_atomic_t g_signal = 0;
volatile std::sig_atomic_t g_signals = 0;

void on_signal(int sig) {
  g_signal = sig;
  g_signals = g_signals + 1;
}

// Ends the run as the simulator does on a signal, once one has come.
void obey_signal() {
  if (g_signal == 0) return;
  fflush(stdout);
  fprintf(stderr, "%s: terminating on signal %d\n", kName, static_cast<int>(g_signal));
  const long linger_ms = strtol(environment_value("ZELK_STANDIN_SIGNAL_MS").c_str(), nullptr, 10);
  if (linger_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms));
    fprintf(stderr, "%s: %d signals came\n", kName, static_cast<int>(g_signals));
  }
  exit(0);
}

void catch_signals() {
  int signals[] = {SIGINT, SIGTERM,
#ifdef SIGHUP
                   SIGHUP,
#endif
  };
  for (int sig : signals) {
    if (std::signal(sig, on_signal) != SIG_IGN) continue;
    std::signal(sig, SIG_IGN);
    printf("  ignores signal %d\n", sig);
  }
#ifdef SIGCHLD
  // Not caught, only said.
  if (std::signal(SIGCHLD, SIG_IGN) == SIG_IGN) printf("  ignores signal %d\n", SIGCHLD);
  else std::signal(SIGCHLD, SIG_DFL);
#endif
}

// Pauses in slices short enough that a signal is obeyed about as soon as
// the simulator's main loop would.
void pause_ms(long ms) {
  fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    obey_signal();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms < 1 ? ms : 1));
  }
  obey_signal();
}

void put_byte(char c) {
  putchar(c);
  fflush(stdout);
}

void print_text(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'p')) {
      if (text[++i] == 'n') put_byte('\n');
      else pause_ms(100);
    } else {
      put_byte(text[i]);
    }
  }
}

// The console input as lines, read beside the program, so that a signal
// is obeyed while it waits. A line ends at CR or LF; an LF right after a
// CR ends nothing. Every byte read is kept in ZELK_STANDIN_INPUT_RECORD.
class ConsoleInput {
 public:
  ConsoleInput() : reader_([this] { read_all(); }) {}
  ~ConsoleInput() { reader_.detach(); }

  // The next line; false once the input has ended without one.
  bool next_line(std::string* line) {
    fflush(stdout);
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      if (!lines_.empty()) {
        *line = lines_.front();
        lines_.erase(lines_.begin());
        return true;
      }
      if (ended_) return false;
      // Woken by a line at once, and now and then to obey a signal.
      changed_.wait_for(hold, std::chrono::milliseconds(5));
      hold.unlock();
      obey_signal();
      hold.lock();
    }
  }

 private:
  void read_all() {
    File record;
    const std::string path = environment_value("ZELK_STANDIN_INPUT_RECORD");
    if (!path.empty()) record = open_file(path, "wb");
    std::string line;
    char last = 0;
    char bytes[256];
    // Read untranslated: a console's Enter is a lone carriage return.
    while (size_t n = read_standard_input(bytes, sizeof bytes)) {
      if (record) {
        fwrite(bytes, 1, n, record.get());
        fflush(record.get());
      }
      for (size_t i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (!(c == '\n' && last == '\r')) {
          if (c == '\r' || c == '\n') {
            std::lock_guard<std::mutex> hold(lock_);
            lines_.push_back(line);
            line.clear();
            changed_.notify_one();
          } else {
            line.push_back(c);
          }
        }
        last = c;
      }
    }
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    changed_.notify_one();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
  std::thread reader_;
};

// A console that asks and answers, step by step: "PROMPT=LINE=REPLY;...".
void answer(const std::string& script) {
  ConsoleInput input;
  for (size_t at = 0; at < script.size();) {
    size_t end = script.find(';', at);
    if (end == std::string::npos) end = script.size();
    const std::string step = script.substr(at, end - at);
    at = end + 1;
    const size_t first = step.find('='), second = step.find('=', first + 1);
    if (second == std::string::npos) continue;
    print_text(step.substr(0, first));
    std::string line;
    if (!input.next_line(&line)) return;
    if (line == step.substr(first + 1, second - first - 1))
      print_text(step.substr(second + 1) + "\\n");
    else
      print_text("unknown: " + line + "\\n");
  }
}

// Log lines as a busy firmware prints them: |bytes| of them at once, or,
// with -1, one every 10 ms without end, or, with -2, byte by byte without
// end, each byte flushed on its own so that the reader gets it alone.
void chatter(long long bytes) {
  const std::string line = "log: sensor 0x2a reads 17, all well\n";
  if (bytes == -2) {
    for (size_t at = 0;; at = (at + 1) % line.size()) {
      if (fwrite(&line[at], 1, 1, stdout) != 1 || fflush(stdout) != 0) return;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  if (bytes < 0) {
    for (;;) {
      for (char c : line) put_byte(c);
      pause_ms(10);
    }
  }
  std::string block;
  while (block.size() < 64 * 1024) block += line;
  while (bytes > 0) {
    const size_t n = static_cast<unsigned long long>(bytes) > block.size() ? block.size()
                                                                            : static_cast<size_t>(bytes);
    if (fwrite(block.data(), 1, n, stdout) != n) return;
    bytes -= static_cast<long long>(n);
  }
  fflush(stdout);
}

// Waits, obeying signals, until a debugger connects to |server|, or for
// good without one.
void wait_for_debugger(LoopbackListener* server) {
  fflush(stdout);
  while (!server->accept_one(10)) {
    if (server->port() == 0) pause_ms(10);
    obey_signal();
  }
  printf("  debugger attached\n");
}

// Another program's output played back, as a firmware would print it.
void replay(const std::string& path) {
  File in = open_file(path, "rb");
  std::vector<char> bytes(8191);
  size_t piece = 1;
  while (in) {
    piece = piece * 7 % bytes.size() + 1;
    const size_t n = fread(bytes.data(), 1, piece, in.get());
    if (n == 0 || fwrite(bytes.data(), 1, n, stdout) != n || fflush(stdout) != 0) return;
  }
}

// Keeps both backing files open for |ms| milliseconds.
void hold_backing_files(const Machine& m, long ms) {
  {
    File flash(open_file_denying_writers(m.flash));
    File eeprom(open_file_denying_writers(m.eeprom));
    printf("  holding its backing files for %ld ms\n", ms);
    pause_ms(ms);
  }
  printf("  released its backing files\n");
}

int take_global(const std::string& value, Machine* m) {
  size_t eq = value.find('=');
  std::string key = value.substr(0, eq), arg = eq == std::string::npos ? "" : value.substr(eq + 1);
  if (key == "zelk_iflash.flash") m->flash = arg;
  else if (key == "zelk_i2c.eeprom") m->eeprom = arg;
  else if (key == "zelk_uart.uart_num" && is_number(arg)) m->uart = arg;
  else if (key == "zelk_uart.uart_num") return fail("-global " + value + ": Property 'zelk_uart.uart_num' doesn't take value '" + arg + "'");
  else return fail("-global " + value + ": unknown global property");
  return 0;
}

int take_device(const std::string& value, Machine* m) {
  if (value.compare(0, 7, "loader,") != 0)
    return fail("-device " + value + ": only the generic loader is available");
  auto props = properties(value);
  if (props["force-raw"] != "on") return fail("-device " + value + ": loader expects force-raw=on");
  if (!is_hex_address(props["addr"])) return fail("-device " + value + ": addr is not a hexadecimal number");
  if (!is_file(props["file"])) return fail("-device " + value + ": cannot open loader file '" + props["file"] + "'");
  m->loaders.push_back(props["file"] + " (" + size_of(props["file"]) + ") at " + props["addr"]);
  return 0;
}

int take_option(const std::string& option, const std::string& value, Machine* m) {
  if (option == "machine") {
    if (value != "zelk") return fail("-machine " + value + ": unsupported machine type");
    m->machine = value;
  } else if (option == "name") {
    m->name = value;
  } else if (option == "global") {
    return take_global(value, m);
  } else if (option == "display") {
    m->display = value.substr(0, value.find(','));
  } else if (option == "net") {
    if (value != "nic" && value.compare(0, 11, "tap,ifname=") != 0)
      return fail("-net " + value + ": only nic and tap,ifname= are available");
    m->nets.push_back(value);
  } else if (option == "kernel") {
    if (!is_file(value)) return fail("could not load kernel '" + value + "'");
    m->kernel = value;
  } else if (option == "device") {
    return take_device(value, m);
  } else if (option == "gdb") {
    const std::string form = "tcp:127.0.0.1:";
    const std::string port = value.compare(0, form.size(), form) == 0 ? value.substr(form.size()) : "";
    if (!is_number(port) || std::stol(port) < 1 || std::stol(port) > 65535)
      return fail("-gdb " + value + ": only tcp:127.0.0.1:PORT is served");
    m->gdb = value;
    m->gdb_port = std::stol(port);
  } else {
    if (option == "d") {
      static const char* const kItems[] = {"in_asm", "int", "exec", "cpu", "nochain", "guest_errors",
                                           "unimp", "out_asm", "op", "mmu", "page", "strace"};
      size_t start = 0;
      for (;;) {
        const size_t comma = value.find(',', start);
        const std::string item = value.substr(start, comma == std::string::npos ? comma : comma - start);
        if (std::find_if(std::begin(kItems), std::end(kItems), [&](const char* k) { return item == k; }) ==
            std::end(kItems))
          return fail("-d " + value + ": unknown log item '" + item + "'");
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      m->log_items = value;
    }
    if (option == "D") m->log_file = value;
    m->others.push_back("-" + option + " " + value);
  }
  return 0;
}

// Logs the code ZELK_STANDIN_RUN names as the simulator logs translated
// blocks, each block written whole through a buffered stream, as the
// simulator writes its log.
int log_translations(const Machine& m) {
  const std::string run = environment_value("ZELK_STANDIN_RUN");
  const std::string items = "," + m.log_items + ",";
  if (run.empty() || items.find(",in_asm,") == std::string::npos) return 0;
  File file;
  if (!m.log_file.empty()) {
    file = open_file(m.log_file, "w");
    if (!file) return fail("-D " + m.log_file + ": cannot open the log file");
  }
  FILE* out = file ? file.get() : stderr;
  std::string log;
  size_t start = 0;
  for (;;) {
    const size_t comma = run.find(',', start);
    const std::string item = run.substr(start, comma == std::string::npos ? comma : comma - start);
    const size_t dash = item.find('-');
    const unsigned long long lo = strtoull(item.c_str(), nullptr, 16);
    char line[64];
    snprintf(line, sizeof line, "0x%08llx:  ", lo);
    log += std::string("----------------\nIN: \n") + line;
    if (dash == std::string::npos) {
      log += "4770       bx       lr\n";
    } else {
      const unsigned long long hi = strtoull(item.c_str() + dash + 1, nullptr, 16);
      for (unsigned long long a = lo; a < hi; ++a) log += (a - lo) % 32 == 0 ? "\nOBJD-T: 00" : "00";
      log += "\n";
    }
    log += "\n";
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  const long long times = std::max(1LL, strtoll(environment_value("ZELK_STANDIN_RUN_TIMES").c_str(), nullptr, 10));
  for (long long i = 0; i < times; ++i)
    if (fwrite(log.data(), 1, log.size(), out) != log.size()) return fail("-D " + m.log_file + ": cannot write");
  fflush(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  record(argc, argv);
  // Options this stand-in knows, and whether each takes a value.
  const std::map<std::string, bool> known = {
      {"machine", true}, {"name", true},    {"serial", true},  {"monitor", true},
      {"parallel", true}, {"global", true}, {"display", true}, {"net", true},
      {"kernel", true},  {"device", true},  {"m", true},       {"d", true},
      {"D", true},       {"gdb", true},     {"icount", true},  {"append", true},
      {"trace", true},   {"rtc", true},     {"nographic", false}, {"s", false},
      {"S", false},      {"no-reboot", false}, {"no-shutdown", false},
      {"snapshot", false},
  };
  Machine m;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.empty() || word[0] != '-') {
      // QEMU takes a bare word as the first disk's image.
      if (!is_file(word)) return fail("Could not open '" + word + "': No such file or directory");
      m.images.push_back(word);
      continue;
    }
    std::string option = word.substr(word.compare(0, 2, "--") == 0 ? 2 : 1);
    auto it = known.find(option);
    if (it == known.end()) return fail(word + ": invalid option");
    if (option == "nographic") m.display = "none";
    if (!it->second) {
      if (option != "nographic") m.others.push_back(word);
      continue;
    }
    if (i + 1 >= argc) return fail(word + ": requires an argument");
    if (int ret = take_option(option, argv[++i], &m)) return ret;
  }
  if (m.machine.empty()) return fail("no machine given (-machine zelk)");
  catch_signals();
  if (!environment_value("ZELK_STANDIN_UNDUMPABLE").empty()) make_undumpable();
  if (!is_file(m.flash)) return fail("zelk_iflash: cannot open flash backing file '" + m.flash + "'");
  if (!is_file(m.eeprom)) return fail("zelk_i2c: cannot open eeprom backing file '" + m.eeprom + "'");
  LoopbackListener server;
  std::string problem;
  if (m.gdb_port &&
      server.listen(static_cast<uint16_t>(m.gdb_port), &problem) != LoopbackListener::Status::kListening)
    return fail("-gdb " + m.gdb + ": Failed to find an available port: " + problem);

  printf("stand-in %s: machine %s (%s)\n", kName, m.machine.c_str(), m.name.c_str());
  printf("  flash   %s (%s)\n", m.flash.c_str(), size_of(m.flash).c_str());
  printf("  eeprom  %s (%s)\n", m.eeprom.c_str(), size_of(m.eeprom).c_str());
  if (!m.kernel.empty()) printf("  kernel  %s (%s)\n", m.kernel.c_str(), size_of(m.kernel).c_str());
  for (const auto& loader : m.loaders) printf("  loader  %s\n", loader.c_str());
  printf("  display %s\n", m.display.c_str());
  for (const auto& net : m.nets) printf("  net     %s\n", net.c_str());
  if (!m.uart.empty()) printf("  uart    %s\n", m.uart.c_str());
  for (const auto& image : m.images) printf("  drive   %s\n", image.c_str());
  for (const auto& other : m.others) printf("  option  %s\n", other.c_str());
  if (!m.gdb.empty()) printf("  gdb     %s\n", m.gdb.c_str());
  if (std::find(m.others.begin(), m.others.end(), "-S") != m.others.end())
    wait_for_debugger(&server);
  fflush(stdout);
  if (int ret = log_translations(m)) return ret;
  const std::string text = environment_value("ZELK_STANDIN_PRINT");
  if (!text.empty()) print_text(text);
  const std::string bytes = environment_value("ZELK_STANDIN_CHATTER_BYTES");
  if (!bytes.empty()) chatter(strtoll(bytes.c_str(), nullptr, 10));
  const long long line_bytes = strtoll(environment_value("ZELK_STANDIN_LINE_BYTES").c_str(), nullptr, 10);
  const std::string piece(64 * 1024, 'x');
  for (long long left = line_bytes; left > 0;) {
    const size_t n = left < 65536 ? static_cast<size_t>(left) : piece.size();
    if (fwrite(piece.data(), 1, n, stdout) != n) break;
    left -= static_cast<long long>(n);
  }
  fflush(stdout);
  const std::string played = environment_value("ZELK_STANDIN_REPLAY");
  if (!played.empty()) replay(played);
  const long long to_read = strtoll(environment_value("ZELK_STANDIN_READ_BYTES").c_str(), nullptr, 10);
  if (to_read > 0) {
    long long read = 0;
    char bytes[4096];
    while (read < to_read) {
      const size_t n = read_standard_input(bytes, sizeof bytes);
      if (n == 0) break;
      read += static_cast<long long>(n);
    }
    printf("read %lld bytes\n", read);
    fflush(stdout);
  }
  const std::string script = environment_value("ZELK_STANDIN_ANSWER");
  if (!script.empty()) answer(script);
  const long hold_ms = strtol(environment_value("ZELK_STANDIN_HOLD_MS").c_str(), nullptr, 10);
  if (hold_ms > 0) hold_backing_files(m, hold_ms);
  return static_cast<int>(strtol(environment_value("ZELK_STANDIN_EXIT").c_str(), nullptr, 10));
}
