// Starts a Windows program with a Windows environment the end-to-end harness
// chooses, and hands back its exit status.
//
// Wine builds a program's environment from the Unix one and then overwrites
// the profile variables (USERPROFILE, TEMP, ...) with the prefix's registry
// values, so a test cannot give the launcher its own profile folder from the
// Unix side. This runner is started by Wine instead; it rewrites its own
// environment as ZELK_WINE_RUNNER_ENV says and starts the program.
//
//   ZELK_WINE_RUNNER_ENV  one change a line: "NAME=VALUE" sets NAME to VALUE,
//                         "NAME" removes it; names match in any letter case,
//                         and a set variable keeps the case given here
//   ZELK_WINE_RUNNER_TAKE_TEMP_NAMES
//                         a folder: before the program runs, it gets an
//                         empty file under each of the first 256 names the
//                         runtime's tmpnam_s gives the program's process,
//                         as earlier images would have left them
//   ZELK_WINE_RUNNER_REPORT_HANDLES
//                         a file: instead of starting a program, the runner
//                         writes there the path of each file it holds a
//                         handle to, one a line, and ends with status 0;
//                         installed as the simulator, it tells what the
//                         simulator inherited, and the name of its output
//                         pipe, with whether another process could take it
//
// Usage: zelk_wine_runner.exe PROGRAM [WORDS...]. The program receives the
// runner's own command line with the runner's word 0 cut off, so the words
// arrive exactly as Wine quoted them.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kEnvName[] = "ZELK_WINE_RUNNER_ENV";
const char kTakeTempNames[] = "ZELK_WINE_RUNNER_TAKE_TEMP_NAMES";
const char kReportHandles[] = "ZELK_WINE_RUNNER_REPORT_HANDLES";

// The rest of |line| after its word 0, by the rule the runtime splits word 0
// with: up to the closing quote when it starts with one, else up to the
// first blank; then the blanks after it.
const char* after_word0(const char* line) {
  const char* p = line;
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

std::string name_of(const std::string& entry) {
  // Entries such as "=C:=C:\dir" keep a drive's current folder; their name
  // starts after the leading '='.
  size_t eq = entry.find('=', 1);
  return entry.substr(0, eq);
}

bool same_name(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(),
                        static_cast<int>(a.size()), b.data(),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string variable(const char* name) {
  std::vector<char> buf(32768);
  DWORD len = GetEnvironmentVariableA(name, buf.data(), static_cast<DWORD>(buf.size()));
  return len && len < buf.size() ? std::string(buf.data(), len) : std::string();
}

// The environment block for the program: the runner's own, with every
// variable a change names taken out, then the set ones added.
std::vector<char> environment_block() {
  std::vector<std::string> changes = split_lines(variable(kEnvName));
  changes.push_back(kEnvName);
  changes.push_back(kTakeTempNames);
  std::vector<std::string> entries;
  char* block = GetEnvironmentStringsA();
  for (const char* p = block; *p; p += strlen(p) + 1) {
    std::string entry = p;
    bool changed = false;
    for (const std::string& change : changes)
      changed = changed || same_name(name_of(entry), change.substr(0, change.find('=')));
    if (!changed) entries.push_back(entry);
  }
  FreeEnvironmentStringsA(block);
  for (const std::string& change : changes)
    if (change.find('=') != std::string::npos) entries.push_back(change);
  std::vector<char> out;
  for (const std::string& entry : entries) {
    out.insert(out.end(), entry.begin(), entry.end());
    out.push_back('\0');
  }
  out.push_back('\0');
  return out;
}

// Wine's runtime names its temporary files "\s" PID "." COUNT, both
// numbers in base 32 with digits 0-9a-v and no digit for 0; the count
// starts at 0 in each process.
std::string base32(unsigned long n) {
  std::string digits;
  for (; n != 0; n >>= 5) digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuv"[n & 31]);
  return digits;
}

void take_temp_names(const std::string& dir, DWORD pid) {
  for (unsigned long count = 0; count < 256; ++count) {
    const std::string name = dir + "\\s" + base32(pid) + "." + base32(count);
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
}

void make_inheritable(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle && handle != INVALID_HANDLE_VALUE)
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

// Handles are multiples of 4; a new process holds only what it inherited
// and a few of its own, all among the first thousands.
void report_handles(const std::string& report) {
  FILE* out = fopen(report.c_str(), "wb");
  if (!out) return;
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    if (GetFileType(handle) != FILE_TYPE_DISK) continue;
    char path[4096];
    const DWORD len = GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED);
    if (len > 0 && len < sizeof path) fprintf(out, "%s\n", path);
  }
  // The output pipe: its name (the object's, \Device\NamedPipe\NAME), and
  // whether another process could make a pipe of that name or connect to
  // it ("pipe NAME 0 0": neither).
  using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
  struct {
    USHORT length, capacity;
    WCHAR* text;
    WCHAR more[512];
  } name = {};
  const std::string device = "\\Device\\NamedPipe\\";
  std::string pipe;
  if (query && query(GetStdHandle(STD_OUTPUT_HANDLE), 1, &name, sizeof name, nullptr) == 0)
    for (USHORT i = 0; i < name.length / sizeof(WCHAR); ++i)
      pipe.push_back(static_cast<char>(name.text[i]));
  if (pipe.compare(0, device.size(), device) == 0) {
    pipe = "\\\\.\\pipe\\" + pipe.substr(device.size());
    HANDLE other = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE,
                                    PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
    const bool made = other != INVALID_HANDLE_VALUE;
    if (made) CloseHandle(other);
    other = CreateFileA(pipe.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool connected = other != INVALID_HANDLE_VALUE;
    if (connected) CloseHandle(other);
    fprintf(out, "pipe %s %d %d\n", pipe.c_str(), made, connected);
  }
  fclose(out);
}

}  // namespace

int main() {
  const std::string report = variable(kReportHandles);
  if (!report.empty()) {
    report_handles(report);
    return 0;
  }
  std::string line = after_word0(GetCommandLineA());
  if (line.empty()) {
    fprintf(stderr, "usage: zelk_wine_runner PROGRAM [WORDS...]\n");
    return 125;
  }
  std::vector<char> env = environment_block();
  std::vector<char> command(line.begin(), line.end());
  command.push_back('\0');

  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    make_inheritable(which);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  // On a loaded machine Wine now and then fails to make a process, with an
  // internal error; a moment later it makes it.
  bool started = false;
  for (int tries = 0; !started && tries < 5; ++tries) {
    if (tries > 0) Sleep(200);
    started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                             env.data(), nullptr, &startup, &process);
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (!started) {
    fprintf(stderr, "zelk_wine_runner: cannot start %s (error %lu)\n",
            line.c_str(), GetLastError());
    return 126;
  }
  const std::string temp = variable(kTakeTempNames);
  if (!temp.empty()) take_temp_names(temp, process.dwProcessId);
  ResumeThread(process.hThread);
  // The program's own status, never one the runner made up: a wait that
  // ends early or a status that cannot be had is said, so that the test
  // sees a run that tested nothing.
  DWORD status = STILL_ACTIVE;
  for (int waits = 0; status == STILL_ACTIVE; ++waits) {
    const DWORD woke = WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &status)) {
      fprintf(stderr, "zelk_wine_runner: no status of %s (wait %lu, error %lu)\n", line.c_str(),
              woke, GetLastError());
      return 125;
    }
    if (status == STILL_ACTIVE && waits == 100) {
      fprintf(stderr, "zelk_wine_runner: %s runs on after its wait ended (%lu)\n", line.c_str(),
              woke);
      return 125;
    }
    if (status == STILL_ACTIVE) Sleep(10);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
