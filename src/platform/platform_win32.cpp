#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include <vector>

#include "platform/interpreter_rules.h"
#include "platform/path_rules.h"

// Asks the mingw-w64 runtime to expand wildcard patterns among the words
// before main sees them, as the command prompt leaves that to programs.
extern "C" {
int _dowildcard = -1;
}

const char kPathSeparator = '\\';

bool own_executable_path(std::string* path) {
  // GetModuleFileNameA truncates silently at the buffer's size, so grow
  // until the name fits with room to spare.
  std::vector<char> buf(MAX_PATH + 1);
  for (;;) {
    DWORD size = static_cast<DWORD>(buf.size());
    DWORD len = GetModuleFileNameA(nullptr, buf.data(), size);
    if (len == 0) return false;
    if (len < size) {
      path->assign(buf.data(), len);
      return true;
    }
    if (buf.size() >= (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
}

bool current_directory(std::string* path) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD need = GetCurrentDirectoryA(0, nullptr);
    if (need == 0) return false;
    std::vector<char> buf(need);
    DWORD len = GetCurrentDirectoryA(need, buf.data());
    if (len == 0) return false;
    if (len < need) {
      path->assign(buf.data(), len);
      return true;
    }
    // The directory changed between the two calls; ask again.
  }
  return false;
}

bool path_is_existing_non_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool file_size_of(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return true;
}

bool path_exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

FILE* open_file_stream(const std::string& path, const char* mode) {
  return fopen(path.c_str(), mode);
}

FILE* open_file_denying_writers(const std::string& path) {
  return _fsopen(path.c_str(), "r+b", _SH_DENYWR);
}

FILE* create_new_file(const std::string& path) {
  const int fd = _open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE* file = _fdopen(fd, "wb");
  if (!file) _close(fd);
  return file;
}

bool publish_file(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing name is never replaced.
  return MoveFileExA(from.c_str(), to.c_str(), 0) != 0;
}

bool remove_file(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

namespace {

// The lock covers one byte beyond the holder's process id, which is the
// file's text: a byte-range lock also keeps other processes from reading
// the range it covers.
constexpr DWORD kLockedByte = 4096;

long process_id_in(HANDLE file) {
  char text[32] = {};
  DWORD got = 0;
  OVERLAPPED at = {};
  if (!ReadFile(file, text, sizeof text - 1, &got, &at)) return 0;
  return strtol(text, nullptr, 10);
}

}  // namespace

FileLock::~FileLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

FileLock::Status FileLock::take(const std::string& path, long* holder) {
  *holder = 0;
  // Not inheritable, so the simulator started through cmd.exe does not
  // keep the lock after the launcher has gone.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Status::kFailed;
  OVERLAPPED at = {};
  at.Offset = kLockedByte;
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    char text[32];
    const int len = snprintf(text, sizeof text, "%lu\n", GetCurrentProcessId());
    DWORD put = 0;
    OVERLAPPED start = {};
    if (len > 0 && WriteFile(file, text, static_cast<DWORD>(len), &put, &start)) {
      SetFilePointer(file, len, nullptr, FILE_BEGIN);
      SetEndOfFile(file);
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return Status::kTaken;
  }
  const DWORD error = GetLastError();
  Status status = Status::kFailed;
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
    status = Status::kHeld;
    *holder = process_id_in(file);
  }
  CloseHandle(file);
  return status;
}

std::string environment_value(const char* name) {
  std::vector<char> buf(256);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(buf.size());
    DWORD len = GetEnvironmentVariableA(name, buf.data(), size);
    if (len == 0) return "";
    if (len < size) return std::string(buf.data(), len);
    buf.resize(len);  // |len| now counts the terminator too.
  }
  return "";
}

bool environment_has(const char* name) {
  char one = 0;
  return GetEnvironmentVariableA(name, &one, 1) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

std::string absolute_path(const std::string& path) {
  // Also a path relative to another drive's current folder, "D:x", or to
  // the current drive's root, "\x".
  DWORD need = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  for (int attempt = 0; need != 0 && attempt < 4; ++attempt) {
    std::vector<char> buf(need);
    const DWORD len = GetFullPathNameA(path.c_str(), need, buf.data(), nullptr);
    if (len == 0) break;
    if (len < need) return std::string(buf.data(), len);
    need = len;
  }
  return path;
}

static bool is_lead_byte(unsigned char c) { return IsDBCSLeadByte(c) != 0; }

std::string last_path_component(const std::string& path) {
  return windows_last_component(path, is_lead_byte);
}

namespace {
FILE* create_raw_image_file_of_own_name(std::string* path);
}  // namespace

FILE* create_raw_image_file(std::string* path) {
  const std::string profile = environment_value("userprofile");
  // The runtime checks its names against the current drive's root, not the
  // Temp folder, and builds them from the process id, which comes round
  // again while earlier images stay; so a taken name is followed by the
  // runtime's next one.
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[4096] = {};
    tmpnam_s(name, sizeof name);
    // Older runtimes hand out a bare name for the current drive's root,
    // newer ones a complete path; a bare name goes under the user's Temp
    // folder.
    if (strlen(name) <= 20)
      *path = profile + "\\AppData\\Local\\Temp\\" + name;
    else
      *path = name;
    int fd = _open(path->c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return nullptr;
    FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
  }
  return create_raw_image_file_of_own_name(path);
}

std::string interpreter_quoted(const std::string& text) { return windows_cmd_quoted(text); }

namespace {

// How long an ended command may take to be gone before it is given up on.
constexpr DWORD kForcedMs = 5000;
constexpr DWORD kOutputPiece = 64 * 1024;
// How long the output of an ended command may take to arrive.
constexpr DWORD kDrainMs = 200;

// Set by the console's Ctrl-C, Ctrl-Break or close while a BoundCommand
// waits.
HANDLE g_stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD) {
  if (g_stop_event) SetEvent(g_stop_event);
  // Handled here: the launcher decides, after its command has ended.
  return TRUE;
}

HANDLE inheritable_copy(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS))
    return handle;
  return copy;
}

// A pipe whose reading end can be waited on with others, which an
// anonymous pipe's cannot; the writing end is inheritable.
bool create_output_pipe(HANDLE* read_end, HANDLE* write_end) {
  static LONG counter = 0;
  char name[96];
  snprintf(name, sizeof name, "\\\\.\\pipe\\zelk_sim-%lu-%ld-%lu", GetCurrentProcessId(),
           InterlockedIncrement(&counter), GetTickCount());
  *read_end = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED |
                                         FILE_FLAG_FIRST_PIPE_INSTANCE,
                               PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, kOutputPiece, 0, nullptr);
  if (*read_end == INVALID_HANDLE_VALUE) return false;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  *write_end = CreateFileA(name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  if (*write_end != INVALID_HANDLE_VALUE) return true;
  CloseHandle(*read_end);
  *read_end = INVALID_HANDLE_VALUE;
  return false;
}

}  // namespace

struct BoundCommand::State {
  HANDLE job = nullptr, process = nullptr, stop = nullptr;
  HANDLE out = INVALID_HANDLE_VALUE;
  OVERLAPPED read = {};
  bool reading = false;
  char piece[kOutputPiece];
  size_t held = 0, held_at = 0;  // read but not yet handed on
  bool ended = false, gone = false;
  DWORD status = 0;

  void close_output() {
    if (out == INVALID_HANDLE_VALUE) return;
    if (reading) {
      // A cancelled read is not always reported as done (Wine does not),
      // so it is waited for only so long; the buffer outlives it anyway.
      CancelIo(out);
      WaitForSingleObject(read.hEvent, kDrainMs);
      reading = false;
    }
    CloseHandle(out);
    out = INVALID_HANDLE_VALUE;
  }

  // Hands on what the last read brought, as much as |cap| takes; the next
  // read starts once all of it is handed on.
  Event hand_on(char* buf, size_t cap, size_t* got) {
    const size_t n = held < cap ? held : cap;
    memcpy(buf, piece + held_at, n);
    *got = n;
    held_at += n;
    held -= n;
    if (held == 0 && out != INVALID_HANDLE_VALUE && !start_read()) close_output();
    return Event::kOutput;
  }

  // Starts the next read; true when it has bytes already or pends.
  bool start_read() {
    ResetEvent(read.hEvent);
    reading = true;
    DWORD got = 0;
    if (ReadFile(out, piece, sizeof piece, &got, &read)) return true;
    return GetLastError() == ERROR_IO_PENDING;
  }

  void note_end() {
    GetExitCodeProcess(process, &status);
    ended = true;
  }
};

BoundCommand::BoundCommand() : s_(new State) {}

BoundCommand::~BoundCommand() {
  if (s_->process && !s_->gone) end();
  s_->close_output();
  if (s_->read.hEvent) CloseHandle(s_->read.hEvent);
  if (s_->process) CloseHandle(s_->process);
  // Closing the job ends whatever of it might still run.
  if (s_->job) CloseHandle(s_->job);
  if (s_->stop) {
    SetConsoleCtrlHandler(on_console_event, FALSE);
    g_stop_event = nullptr;
    CloseHandle(s_->stop);
  }
}

bool BoundCommand::start(const std::string& line, bool capture) {
  State& s = *s_;
  s.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_stop_event = s.stop;
  SetConsoleCtrlHandler(on_console_event, TRUE);
  // Everything the interpreter starts is in the job, which ends them all
  // when its last handle closes, this process's, however it ends.
  s.job = CreateJobObjectA(nullptr, nullptr);
  if (!s.job) return false;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(s.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

  HANDLE out_write = INVALID_HANDLE_VALUE;
  if (capture) {
    if (!create_output_pipe(&s.out, &out_write)) return false;
    s.read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable_copy(GetStdHandle(STD_INPUT_HANDLE));
  startup.hStdOutput = capture ? out_write : inheritable_copy(GetStdHandle(STD_OUTPUT_HANDLE));
  startup.hStdError = inheritable_copy(GetStdHandle(STD_ERROR_HANDLE));
  // The command line the C runtime's system() hands to the interpreter.
  const std::string comspec = environment_value("COMSPEC");
  std::string command = (comspec.empty() ? "cmd.exe" : comspec) + " /c " + line;
  std::vector<char> mutable_command(command.begin(), command.end());
  mutable_command.push_back('\0');
  PROCESS_INFORMATION info = {};
  const bool started = CreateProcessA(comspec.empty() ? nullptr : comspec.c_str(),
                                      mutable_command.data(), nullptr, nullptr, TRUE,
                                      CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE && h != GetStdHandle(STD_INPUT_HANDLE) &&
        h != GetStdHandle(STD_OUTPUT_HANDLE) && h != GetStdHandle(STD_ERROR_HANDLE))
      CloseHandle(h);
  }
  if (!started) {
    s.close_output();
    return false;
  }
  AssignProcessToJobObject(s.job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  s.process = info.hProcess;
  if (capture && !s.start_read()) s.close_output();
  return true;
}

BoundCommand::Event BoundCommand::wait(int64_t timeout_ms, char* buf, size_t cap, size_t* got) {
  State& s = *s_;
  const ULONGLONG deadline = timeout_ms < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    if (WaitForSingleObject(s.stop, 0) == WAIT_OBJECT_0) return Event::kInterrupted;
    if (s.held > 0) return s.hand_on(buf, cap, got);
    if (s.ended && s.out == INVALID_HANDLE_VALUE) return Event::kEnded;
    HANDLE handles[3] = {s.stop};
    DWORD count = 1;
    if (!s.ended) handles[count++] = s.process;
    const DWORD read_at = count;
    if (s.out != INVALID_HANDLE_VALUE) handles[count++] = s.read.hEvent;
    DWORD wait_ms = INFINITE;
    if (timeout_ms >= 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return Event::kTimedOut;
      wait_ms = static_cast<DWORD>(deadline - now);
    }
    // Once the interpreter has ended, its output is read only as far as it
    // comes soon: a process it left behind may hold the pipe open.
    if (s.ended) wait_ms = kDrainMs;
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, wait_ms);
    if (woke == WAIT_TIMEOUT) {
      if (s.ended) s.close_output();
      continue;
    }
    if (woke == WAIT_FAILED) return Event::kEnded;
    const DWORD which = woke - WAIT_OBJECT_0;
    if (which == 0) continue;
    if (which < read_at) {
      s.note_end();
      continue;
    }
    DWORD read = 0;
    s.reading = false;
    if (!GetOverlappedResult(s.out, &s.read, &read, FALSE)) {
      s.close_output();
      continue;
    }
    s.held = read;
    s.held_at = 0;
    if (s.held > 0) return s.hand_on(buf, cap, got);
    if (!s.start_read()) s.close_output();
  }
}

void BoundCommand::end() {
  State& s = *s_;
  if (!s.process || s.gone) return;
  if (!s.ended && WaitForSingleObject(s.process, 0) == WAIT_OBJECT_0) s.note_end();
  TerminateJobObject(s.job, 1);
  WaitForSingleObject(s.process, kForcedMs);
  // The job's other processes, the simulator among them, end as well.
  const ULONGLONG deadline = GetTickCount64() + kForcedMs;
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
  while (QueryInformationJobObject(s.job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr) &&
         accounting.ActiveProcesses > 0 && GetTickCount64() < deadline)
    Sleep(5);
  s.gone = true;
}

int BoundCommand::status() const { return static_cast<int>(s_->status); }

int run_command_line(const std::string& command_line) {
  BoundCommand command;
  if (!command.start(command_line, false)) return -1;
  // Ctrl-C reaches the simulator through the console as well; the launcher
  // waits for it to end.
  while (command.wait(-1, nullptr, 0, nullptr) != BoundCommand::Event::kEnded)
    ResetEvent(command.s_->stop);
  command.end();
  return command.status();
}

bool write_standard_output(const char* data, size_t len) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (len > 0) {
    DWORD put = 0;
    const DWORD piece = len > kOutputPiece ? kOutputPiece : static_cast<DWORD>(len);
    if (!WriteFile(out, data, piece, &put, nullptr) || put == 0) return false;
    data += put;
    len -= put;
  }
  return true;
}

bool raw_command_line(std::string* line) {
  *line = GetCommandLineA();
  return true;
}

namespace {

// The errno that says what the Windows error |code| says, for the callers'
// messages; the codes a file operation meets, the rest read as EIO.
int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_WRITE_PROTECT: return EROFS;
    default: return EIO;
  }
}

// Once the runtime's names are used up: they are built from the process id
// and a counter, and process ids come round again while earlier images
// stay. The raw image then takes a name of the launcher's own in the folder
// the runtime's last name pointed into.
FILE* create_raw_image_file_of_own_name(std::string* path) {
  const size_t cut = path->find_last_of("\\/");
  size_t end = cut == std::string::npos ? 0 : cut;
  while (end > 0 && ((*path)[end - 1] == '\\' || (*path)[end - 1] == '/')) --end;
  const std::string dir = cut == std::string::npos ? "" : path->substr(0, end) + "\\";
  return create_own_named_file(dir + "zelk_raw_", path);
}

}  // namespace

PathKind path_kind(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    errno = errno_of(GetLastError());
    return PathKind::kMissing;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
  return attributes & FILE_ATTRIBUTE_DEVICE ? PathKind::kOther : PathKind::kFile;
}

bool seek_file(FILE* file, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool stream_size(FILE* file, uint64_t* size) {
  const __int64 length = _filelengthi64(_fileno(file));
  if (length < 0) return false;
  *size = static_cast<uint64_t>(length);
  return true;
}

FILE* create_own_named_file(const std::string& stem, std::string* path) {
  static unsigned counter = 0;
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  for (int attempt = 0; attempt < 64; ++attempt) {
    char suffix[64];
    snprintf(suffix, sizeof suffix, "%lu_%08lx%08lx_%u", GetCurrentProcessId(),
             now.dwHighDateTime, now.dwLowDateTime, counter++);
    *path = stem + suffix;
    if (FILE* file = create_new_file(*path)) return file;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

bool replace_file(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  errno = errno_of(GetLastError());
  return false;
}
