#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include <aclapi.h>

#include <vector>

#include "platform/interpreter_rules.h"
#include "platform/path_rules.h"

// The command prompt leaves wildcard patterns to programs, but the
// mingw-w64 runtime would expand every word alike, the value of a
// --fail-re among them; program_words() expands them instead.
extern "C" {
int _dowildcard = 0;
}

const char kPathSeparator = '\\';

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

}  // namespace

namespace {

// |text| of the process's code page (UTF-8, by the manifest) in UTF-16.
std::wstring wide(const std::string& text) {
  const int len = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(len), L'\0');
  if (len > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], len);
  return out;
}

std::string narrow(const wchar_t* text, size_t size) {
  const int len = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(len), '\0');
  if (len > 0) WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(size), &out[0], len, nullptr, nullptr);
  return out;
}

// Paths this long or longer go to the system whole, after \\?\: the
// plain form stops at 260 characters (248 for a folder to be made), unless
// long paths are enabled for the system, which Wine never does.
constexpr size_t kPlainPathLimit = 248;

// |path| for the system's wide calls: a long one whole, after the prefix
// that lifts the limit.
std::wstring system_path(const std::string& path) {
  const std::wstring given = wide(path);
  if (given.compare(0, 4, L"\\\\?\\") == 0) return given;
  const DWORD need = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  if (need < kPlainPathLimit) return given;
  std::wstring full(need, L'\0');
  const DWORD len = GetFullPathNameW(given.c_str(), need, &full[0], nullptr);
  if (len == 0 || len >= need) return given;
  full.resize(len);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

bool own_executable_path(std::string* path) {
  // GetModuleFileNameA truncates silently at the buffer's size, so grow
  // until the name fits with room to spare.
  std::vector<wchar_t> buf(MAX_PATH + 1);
  for (;;) {
    DWORD size = static_cast<DWORD>(buf.size());
    DWORD len = GetModuleFileNameW(nullptr, buf.data(), size);
    if (len == 0) return false;
    if (len < size) {
      *path = narrow(buf.data(), len);
      return true;
    }
    if (buf.size() >= (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
}

bool current_directory(std::string* path) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD need = GetCurrentDirectoryW(0, nullptr);
    if (need == 0) return false;
    std::vector<wchar_t> buf(need);
    DWORD len = GetCurrentDirectoryW(need, buf.data());
    if (len == 0) return false;
    if (len < need) {
      *path = narrow(buf.data(), len);
      return true;
    }
    // The directory changed between the two calls; ask again.
  }
  return false;
}

bool path_is_existing_non_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesW(system_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool file_size_of(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(system_path(path).c_str(), GetFileExInfoStandard, &data)) return false;
  *size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return true;
}

bool path_exists(const std::string& path) {
  return GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

FILE* open_file_stream(const std::string& path, const char* mode) {
  return _wfopen(system_path(path).c_str(), wide(mode).c_str());
}

FILE* open_file_denying_writers(const std::string& path) {
  return _wfsopen(system_path(path).c_str(), L"r+b", _SH_DENYWR);
}

FILE* create_new_file(const std::string& path) {
  const int fd = _wopen(system_path(path).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE* file = _fdopen(fd, "wb");
  if (!file) _close(fd);
  return file;
}

bool publish_file(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing name is never replaced.
  return MoveFileExW(system_path(from).c_str(), system_path(to).c_str(), 0) != 0;
}

bool remove_file(const std::string& path) { return DeleteFileW(system_path(path).c_str()) != 0; }

namespace {

bool process_runs(DWORD id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

// The id of the process that took the lock file |path|, its text. The
// holder writes its id just after it opens the file, and an id left by an
// earlier holder may stand there a moment longer: an id of no running
// process is read again for a while before it is believed.
long lock_holder(const std::string& path) {
  long holder = 0;
  for (int attempt = 0; attempt < 50; ++attempt) {
    HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char text[32] = {};
    DWORD got = 0;
    if (file != INVALID_HANDLE_VALUE && ReadFile(file, text, sizeof text - 1, &got, nullptr))
      holder = strtol(text, nullptr, 10);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (holder > 0 && process_runs(static_cast<DWORD>(holder))) break;
    Sleep(2);
  }
  return holder;
}

}  // namespace

FileLock::~FileLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

// The lock is the open file itself: opened for writing and shared with
// readers only, no other process can open it for writing while any handle
// to this open file remains, this process's or one the processes of a
// BoundCommand inherited. So it lasts until all of them have ended, however
// they end. A byte-range lock would not: the system drops a process's
// byte-range locks when it ends, though another process still has the file
// open. Readers may still open it for the holder's id, its text.
FileLock::Status FileLock::take(const std::string& path, long* holder) {
  *holder = 0;
  HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION) {
      // A read-only zelk.lock, a folder in its place, a path too long.
      errno = errno_of(error);
      return Status::kFailed;
    }
    *holder = lock_holder(path);
    return Status::kHeld;
  }
  char text[32];
  const int len = snprintf(text, sizeof text, "%lu\n", GetCurrentProcessId());
  DWORD put = 0;
  if (len > 0 && WriteFile(file, text, static_cast<DWORD>(len), &put, nullptr)) SetEndOfFile(file);
  handle_ = reinterpret_cast<intptr_t>(file);
  return Status::kTaken;
}

FileLock::Status FileLock::take_shared(const std::string& path, long* holder) {
  *holder = 0;
  // Shared with readers alone: no one opens it for writing, as a taker
  // does, while this handle lasts, and it opens only while no one has.
  HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    handle_ = reinterpret_cast<intptr_t>(file);
    return Status::kTaken;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return Status::kTaken;
  if (error != ERROR_SHARING_VIOLATION) {
    errno = errno_of(error);
    return Status::kFailed;
  }
  *holder = lock_holder(path);
  return Status::kHeld;
}

namespace {

#ifndef FSCTL_DUPLICATE_EXTENTS_TO_FILE
#define FSCTL_DUPLICATE_EXTENTS_TO_FILE \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 209, METHOD_BUFFERED, FILE_WRITE_DATA)
#endif

// The request of FSCTL_DUPLICATE_EXTENTS_TO_FILE, which older headers lack.
struct DuplicateExtents {
  HANDLE source;
  LARGE_INTEGER source_offset, target_offset, byte_count;
};

// Block cloning, on ReFS: |out| shares |in|'s clusters. Other file systems
// refuse it, as does a range that is not whole clusters.
bool duplicate_extents(HANDLE in, HANDLE out, LONGLONG size) {
  constexpr LONGLONG kMostPerCall = 1LL << 30;  // below the call's 4 GiB limit
  for (LONGLONG at = 0; at < size; at += kMostPerCall) {
    DuplicateExtents request = {};
    request.source = in;
    request.source_offset.QuadPart = at;
    request.target_offset.QuadPart = at;
    request.byte_count.QuadPart = size - at < kMostPerCall ? size - at : kMostPerCall;
    DWORD returned = 0;
    if (!DeviceIoControl(out, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &request, sizeof request, nullptr,
                         0, &returned, nullptr))
      return false;
  }
  return true;
}

bool copy_handle(HANDLE in, HANDLE out) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(in, start, nullptr, FILE_BEGIN) ||
      !SetFilePointerEx(out, start, nullptr, FILE_BEGIN))
    return false;
  std::vector<char> buf(1 << 20);
  for (;;) {
    DWORD got = 0, put = 0;
    if (!ReadFile(in, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) return false;
    if (got == 0) return true;
    if (!WriteFile(out, buf.data(), got, &put, nullptr) || put != got) return false;
  }
}

}  // namespace

int clone_file(const std::string& from, const std::string& to) {
  HANDLE in = CreateFileW(system_path(from).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
  HANDLE out = CreateFileW(system_path(to).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    const int error = errno_of(GetLastError());
    CloseHandle(in);
    return error;
  }
  // Cloning needs the target as long as the source first.
  LARGE_INTEGER size = {};
  bool done = GetFileSizeEx(in, &size) && SetFilePointerEx(out, size, nullptr, FILE_BEGIN) &&
              SetEndOfFile(out);
  if (done && !duplicate_extents(in, out, size.QuadPart)) done = copy_handle(in, out);
  const int error = done ? 0 : errno_of(GetLastError());
  CloseHandle(out);
  CloseHandle(in);
  if (error != 0) DeleteFileW(system_path(to).c_str());
  return error;
}

// Read wide: Wine's GetEnvironmentVariableA counts a UTF-8 value's
// characters, not its bytes, and cuts a profile folder such as "Ж".
std::string environment_value(const char* name) {
  const std::wstring wide_name = wide(name);
  std::vector<wchar_t> buf(256);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(buf.size());
    DWORD len = GetEnvironmentVariableW(wide_name.c_str(), buf.data(), size);
    if (len == 0) return "";
    if (len < size) return narrow(buf.data(), len);
    buf.resize(len);  // |len| now counts the terminator too.
  }
  return "";
}

// An empty variable also reads as 0 characters, and only a missing one sets
// the last error, which a success leaves as it was: so it is cleared first.
bool environment_has(const char* name) {
  wchar_t one = 0;
  SetLastError(ERROR_SUCCESS);
  return GetEnvironmentVariableW(wide(name).c_str(), &one, 1) != 0 ||
         GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

bool interpreter_finds(const std::string& name) {
  for (const std::string& file :
       windows_cmd_search(name, environment_value("PATH"), environment_value("PATHEXT")))
    if (path_kind(file) == PathKind::kFile) return true;
  return false;
}

std::string absolute_path(const std::string& path) {
  // Also a path relative to another drive's current folder, "D:x", or to
  // the current drive's root, "\x".
  const std::wstring given = wide(path);
  DWORD need = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  for (int attempt = 0; need != 0 && attempt < 4; ++attempt) {
    std::vector<wchar_t> buf(need);
    const DWORD len = GetFullPathNameW(given.c_str(), need, buf.data(), nullptr);
    if (len == 0) break;
    if (len < need) return narrow(buf.data(), len);
    need = len;
  }
  return path;
}

static bool is_lead_byte(unsigned char c) { return IsDBCSLeadByte(c) != 0; }

std::string last_path_component(const std::string& path) {
  return windows_last_component(path, is_lead_byte);
}

FILE* create_runtime_named_file(std::string* path) {
  const std::string temp = temporary_directory();
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
      *path = temp + "\\" + name;
    else
      *path = name;
    int fd = _wopen(system_path(*path).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return nullptr;
    FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
  }
  path->clear();
  return nullptr;
}

std::string interpreter_quoted(const std::string& text) { return windows_cmd_quoted(text); }

std::string interpreter_word(const std::string& text) { return windows_cmd_word(text); }

std::string interpreter_changes(const std::string& text) {
  return windows_cmd_expansion(windows_cmd_quoted(text),
                               [](const std::string& name) { return environment_has(name.c_str()); });
}

namespace {

// The most one write hands the system: a console refuses larger ones.
constexpr DWORD kWritePiece = 64 * 1024;

}  // namespace

size_t read_standard_input(char* buf, size_t cap) {
  DWORD got = 0;
  const DWORD want = cap > kWritePiece ? kWritePiece : static_cast<DWORD>(cap);
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, want, &got, nullptr)) return 0;
  return got;
}

namespace {

OutputWrite write_all(HANDLE out, const char* data, size_t len) {
  while (len > 0) {
    DWORD put = 0;
    const DWORD piece = len > kWritePiece ? kWritePiece : static_cast<DWORD>(len);
    if (!WriteFile(out, data, piece, &put, nullptr)) {
      const DWORD error = GetLastError();
      // The reading end of a pipe has closed, or is closing.
      if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) return OutputWrite::kReaderGone;
      errno = errno_of(error);
      return OutputWrite::kFailed;
    }
    // A pipe in no-wait mode takes nothing while it is full.
    if (put == 0) Sleep(1);
    data += put;
    len -= put;
  }
  return OutputWrite::kWritten;
}

}  // namespace

OutputWrite write_standard_output(const char* data, size_t len) {
  return write_all(GetStdHandle(STD_OUTPUT_HANDLE), data, len);
}

// A broken pipe is a failed write here already.
void keep_broken_pipes_in_this_thread() {}

OutputWrite write_file_bytes(FILE* file, const char* data, size_t len) {
  return write_all(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), data, len);
}

namespace {

// The names |pattern| matches, after the folder it names, as the runtime
// lists them; none when it matches nothing.
std::vector<std::string> wildcard_matches(const std::string& pattern) {
  std::vector<std::string> names;
  const size_t cut = pattern.find_last_of("\\/:");
  const std::string folder = cut == std::string::npos ? "" : pattern.substr(0, cut + 1);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(folder + name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

}  // namespace

std::vector<std::string> program_words(int argc, char** argv, const std::vector<bool>& literal) {
  const std::vector<std::string> given(argv, argv + argc);
  // Whether a word was quoted is known from the line itself, where its
  // split agrees with the runtime's.
  std::vector<RuntimeWord> split = windows_runtime_words(GetCommandLineA());
  bool agrees = split.size() == given.size();
  for (size_t i = 1; agrees && i < given.size(); ++i) agrees = split[i].text == given[i];
  std::vector<std::string> words;
  for (size_t i = 0; i < given.size(); ++i) {
    RuntimeWord word{given[i], agrees && split[i].quoted};
    const bool keep = i == 0 || (i < literal.size() && literal[i]) || !windows_runtime_pattern(word);
    const std::vector<std::string> matches = keep ? std::vector<std::string>() : wildcard_matches(given[i]);
    if (matches.empty()) words.push_back(given[i]);
    words.insert(words.end(), matches.begin(), matches.end());
  }
  return words;
}

bool raw_command_line(std::string* line) {
  *line = GetCommandLineA();
  return true;
}

PathKind path_kind(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(system_path(path).c_str());
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

namespace {

// A suffix of this program's own: its process id, the clock and a counter.
std::string own_suffix() {
  static unsigned counter = 0;
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  char suffix[64];
  snprintf(suffix, sizeof suffix, "%lu_%08lx%08lx_%u", GetCurrentProcessId(),
           now.dwHighDateTime, now.dwLowDateTime, counter++);
  return suffix;
}

}  // namespace

FILE* create_own_named_file(const std::string& stem, std::string* path) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    *path = stem + own_suffix();
    if (FILE* file = create_new_file(*path)) return file;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// A real profile always has its Temp folder; a new Wine profile or a
// stripped container may not, and a raw image that cannot be written is a
// launch without its program. So the missing folders are made, but only
// under a profile folder that exists: never at the root of a drive.
std::string temporary_directory() {
  const int saved = errno;  // callers name the folder in their messages
  const std::string profile = environment_value("userprofile");
  std::string dir = profile;
  const bool made_here = !profile.empty() && path_kind(profile) == PathKind::kFolder;
  for (const char* part : {"AppData", "Local", "Temp"}) {
    dir = dir + "\\" + part;
    if (made_here) CreateDirectoryW(system_path(dir).c_str(), nullptr);
  }
  errno = saved;
  return dir;
}

bool create_own_named_folder(const std::string& stem, std::string* path) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    *path = stem + own_suffix();
    if (CreateDirectoryW(system_path(*path).c_str(), nullptr)) return true;
    const DWORD error = GetLastError();
    errno = errno_of(error);
    if (error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

std::vector<std::string> folder_entries(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(system_path(dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = narrow(found.cFileName, wcslen(found.cFileName));
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

namespace {

// The token's user and the owner it gives new objects (the Administrators
// group for an elevated administrator): either is this user.
bool is_this_users_sid(PSID owner) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  bool mine = false;
  for (TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
    DWORD size = 0;
    GetTokenInformation(token, which, nullptr, 0, &size);
    std::vector<char> info(size ? size : 1);
    if (!GetTokenInformation(token, which, info.data(), size, &size)) continue;
    const PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid
                                        : reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner;
    mine = mine || EqualSid(owner, sid);
  }
  CloseHandle(token);
  return mine;
}

HANDLE folder_handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

HeldFolder::~HeldFolder() {
  if (handle_ != -1) CloseHandle(folder_handle(handle_));
}

// Opened as itself, a reparse point never followed, and without sharing
// deletion, so that nobody renames or replaces it while it is held.
bool HeldFolder::open(const std::string& parent, const std::string& name) {
  if (handle_ != -1 || name.empty() || name.find_first_of("\\/") != std::string::npos) return false;
  const std::string path = parent + "\\" + name;
  HANDLE folder = CreateFileW(system_path(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                                DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(folder);
  parent_path_ = parent;
  name_ = name;
  BY_HANDLE_FILE_INFORMATION info = {};
  return GetFileInformationByHandle(folder, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool HeldFolder::owned_by_this_user() const {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (handle_ == -1 ||
      GetSecurityInfo(folder_handle(handle_), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                      nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const bool mine = owner && is_this_users_sid(owner);
  LocalFree(descriptor);
  return mine;
}

double HeldFolder::seconds_unchanged() const {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (handle_ == -1 || !GetFileInformationByHandle(folder_handle(handle_), &info)) return 0;
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  const uint64_t then = ticks(info.ftLastWriteTime), at = ticks(now);
  return at > then ? static_cast<double>(at - then) / 1e7 : 0;
}

// Read through the folder's own handle: another opening would have to
// share the deletion the handle holds.
bool HeldFolder::entries(std::vector<Entry>* list) const {
  list->clear();
  if (handle_ == -1) return false;
  std::vector<char> buf(64 * 1024);
  FILE_INFO_BY_HANDLE_CLASS which = FileFullDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(folder_handle(handle_), which, buf.data(),
                                      static_cast<DWORD>(buf.size()))) {
    which = FileFullDirectoryInfo;
    for (size_t at = 0;;) {
      const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buf.data() + at);
      const int wide = static_cast<int>(info->FileNameLength / sizeof(WCHAR));
      const int len = WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, nullptr, 0, nullptr, nullptr);
      Entry e;
      e.name.resize(static_cast<size_t>(len));
      WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, &e.name[0], len, nullptr, nullptr);
      e.plain_file = !(info->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                               FILE_ATTRIBUTE_DEVICE));
      e.size = static_cast<uint64_t>(info->EndOfFile.QuadPart);
      if (e.name != "." && e.name != "..") list->push_back(e);
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
  return GetLastError() == ERROR_NO_MORE_FILES;
}

// As FileLock::take: the open file, shared with readers only, is the lock.
FileLock::Status HeldFolder::lock_file(const std::string& name, FileLock* lock) const {
  if (handle_ == -1 || lock->handle_ != -1) return FileLock::Status::kFailed;
  HANDLE file = CreateFileW(system_path(parent_path_ + "\\" + name_ + "\\" + name).c_str(),
                            GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_SHARING_VIOLATION ? FileLock::Status::kHeld
                                                     : FileLock::Status::kFailed;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(file);
    return FileLock::Status::kFailed;
  }
  lock->handle_ = reinterpret_cast<intptr_t>(file);
  return FileLock::Status::kTaken;
}

bool HeldFolder::remove_file(const std::string& name) const {
  return handle_ != -1 && DeleteFileW(system_path(parent_path_ + "\\" + name_ + "\\" + name).c_str()) != 0;
}

// Through its own handle, so that it is the folder held that goes.
bool HeldFolder::remove() {
  if (handle_ == -1) return false;
  FILE_DISPOSITION_INFO dispose = {};
  dispose.DeleteFile = TRUE;
  const bool marked = SetFileInformationByHandle(folder_handle(handle_), FileDispositionInfo,
                                                 &dispose, sizeof dispose) != 0;
  CloseHandle(folder_handle(handle_));
  handle_ = -1;
  return marked;
}

bool replace_file(const std::string& from, const std::string& to) {
  if (MoveFileExW(system_path(from).c_str(), system_path(to).c_str(), MOVEFILE_REPLACE_EXISTING))
    return true;
  errno = errno_of(GetLastError());
  return false;
}

// A Windows pipe is opened once it has a server: nothing to wait for.
void wait_for_fifo_writer(FILE*) {}

void make_undumpable() {}
