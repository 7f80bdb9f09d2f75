#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fs.h>
#include <sys/auxv.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/interpreter_rules.h"
#include "platform/path_rules.h"

const char kPathSeparator = '/';

namespace {

// Linux refuses a path of PATH_MAX characters or more in every call that
// takes one. Such a path is reached one folder at a time, and its last
// component through /proc/self/fd, which names the open folder in a few
// characters. A path that cannot be walked is kept as it is, so that the
// call fails as it would have.
class ShortPath {
 public:
  explicit ShortPath(const std::string& path) : text_(path) {
    if (path.size() < PATH_MAX) return;
    const size_t cut = path.find_last_of('/');
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    const std::string dir = cut == std::string::npos ? "" : path.substr(0, cut);
    dir_ = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t start = 0; dir_ >= 0 && start < dir.size();) {
      size_t end = dir.find('/', start);
      if (end == std::string::npos) end = dir.size();
      if (end > start) {
        const int next = openat(dir_, dir.substr(start, end - start).c_str(),
                                O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(dir_);
        dir_ = next;
      }
      start = end + 1;
    }
    if (dir_ >= 0) text_ = "/proc/self/fd/" + std::to_string(dir_) + "/" + name;
  }
  ~ShortPath() {
    if (dir_ >= 0) close(dir_);
  }
  ShortPath(const ShortPath&) = delete;
  ShortPath& operator=(const ShortPath&) = delete;
  const std::string& text() const { return text_; }

 private:
  int dir_ = -1;
  std::string text_;
};

bool stat_path(const std::string& path, struct stat* st) {
  return stat(ShortPath(path).text().c_str(), st) == 0;
}

// The kernel cannot spell its own path of the executable once that has
// PATH_MAX characters or more. The name the program was started by, taken
// against the current directory (which the launcher never changes), serves
// instead once it proves to be the same file.
bool executable_by_start_name(std::string* path) {
  const char* start_name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (!start_name || !*start_name) return false;
  std::string candidate = start_name;
  while (candidate.compare(0, 2, "./") == 0) candidate.erase(0, 2);
  if (candidate.empty()) return false;
  if (candidate[0] != '/') {
    std::string cwd;
    if (!current_directory(&cwd)) return false;
    candidate = cwd + (cwd.back() == '/' ? "" : "/") + candidate;
  }
  struct stat self, st;
  if (stat("/proc/self/exe", &self) != 0 || !stat_path(candidate, &st) ||
      st.st_dev != self.st_dev || st.st_ino != self.st_ino)
    return false;
  *path = candidate;
  return true;
}

}  // namespace

bool own_executable_path(std::string* path) {
  // readlink reports truncation only by filling the whole buffer, so grow
  // until the link fits with room to spare.
  std::vector<char> buf(256);
  for (;;) {
    ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size());
    if (len < 0 && errno == ENAMETOOLONG) return executable_by_start_name(path);
    if (len <= 0) return false;
    if (static_cast<size_t>(len) < buf.size()) {
      path->assign(buf.data(), static_cast<size_t>(len));
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

bool current_directory(std::string* path) {
  std::vector<char> buf(256);
  for (;;) {
    if (getcwd(buf.data(), buf.size())) {
      path->assign(buf.data());
      return true;
    }
    if (errno != ERANGE) return false;
    buf.resize(buf.size() * 2);
  }
}

bool path_is_existing_non_directory(const std::string& path) {
  struct stat st;
  return stat_path(path, &st) && !S_ISDIR(st.st_mode);
}

bool file_size_of(const std::string& path, uint64_t* size) {
  struct stat st;
  if (!stat_path(path, &st)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return stat_path(path, &st);
}

FILE* open_file_stream(const std::string& path, const char* mode) {
  const ShortPath target(path);
  // Not inherited by the programs this process starts, the simulator
  // among them.
  if (mode[0] != 'r') return fopen(target.text().c_str(), (std::string(mode) + "e").c_str());
  // Opening a FIFO for reading waits for a writer, who may never come;
  // opened without waiting it reads as empty, as any other file may.
  const int fd = open(target.text().c_str(),
                      (strchr(mode, '+') ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* file = nullptr;
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) file = fdopen(fd, mode);
  if (!file) close(fd);
  return file;
}

// POSIX has no share modes; advisory locks bind only those who ask.
FILE* open_file_denying_writers(const std::string& path) {
  return open_file_stream(path, "r+b");
}

FILE* create_new_file(const std::string& path) {
  const int fd = open(ShortPath(path).text().c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}

bool publish_file(const std::string& from, const std::string& to) {
  const ShortPath source(from), target(to);
  // A hard link never replaces what has the name already; where the file
  // system has no hard links, a rename that refuses to replace serves.
  if (link(source.text().c_str(), target.text().c_str()) == 0) {
    // The file has its name now; the old one is only a second link.
    unlink(source.text().c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  return renameat2(AT_FDCWD, source.text().c_str(), AT_FDCWD, target.text().c_str(),
                   RENAME_NOREPLACE) == 0;
}

bool remove_file(const std::string& path) {
  return unlink(ShortPath(path).text().c_str()) == 0;
}

namespace {

// The id of the process that holds the lock file |path|. The holder writes
// its id just after it takes the lock, and an id left by an earlier holder
// may stand there a moment longer: an id of no running process is read
// again for a while before it is believed.
long lock_holder(const std::string& path) {
  long holder = 0;
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int fd = open(ShortPath(path).text().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    char text[32] = {};
    if (fd >= 0 && pread(fd, text, sizeof text - 1, 0) > 0) holder = strtol(text, nullptr, 10);
    if (fd >= 0) close(fd);
    if (holder > 0 && (kill(static_cast<pid_t>(holder), 0) == 0 || errno == EPERM)) break;
    usleep(2000);
  }
  return holder;
}

}  // namespace

FileLock::~FileLock() {
  if (handle_ < 0) return;
  // Let go now: a guardian may still share the open file for a moment,
  // and the next launch must not find the chip taken.
  struct flock whole = {};
  whole.l_type = F_UNLCK;
  whole.l_whence = SEEK_SET;
  fcntl(static_cast<int>(handle_), F_OFD_SETLK, &whole);
  close(static_cast<int>(handle_));
}

namespace {

// Sets a lock of |type| on the whole of the open |fd|; where another holds
// it, closes |fd| and names that holder from the file at |path|.
FileLock::Status lock_whole(int fd, short type, const std::string& path, long* holder) {
  struct flock whole = {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &whole) == 0) return FileLock::Status::kTaken;
  const int error = errno;
  close(fd);
  if (error != EAGAIN && error != EACCES) {
    errno = error;
    return FileLock::Status::kFailed;
  }
  *holder = lock_holder(path);
  return FileLock::Status::kHeld;
}

}  // namespace

// A lock on the open file, not on the process: the launcher's guardian
// shares it, and a BoundCommand it is given to, so it lasts until all of
// them have ended. It goes however they end, and is not inherited by other
// programs they start. The holder's process id
// is the file's text, as such a lock does not tell it.
FileLock::Status FileLock::take(const std::string& path, long* holder) {
  *holder = 0;
  const int fd = open(ShortPath(path).text().c_str(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return Status::kFailed;
  const Status status = lock_whole(fd, F_WRLCK, path, holder);
  if (status != Status::kTaken) return status;
  // Of one width whatever the id, so that no longer text is left over and
  // no truncation is needed.
  char text[24];
  const int len = snprintf(text, sizeof text, "%-20ld\n", static_cast<long>(getpid()));
  if (pwrite(fd, text, static_cast<size_t>(len), 0) != len) {
    // The lock holds all the same; only its holder's name is missing.
  }
  handle_ = fd;
  return Status::kTaken;
}

FileLock::Status FileLock::take_shared(const std::string& path, long* holder) {
  *holder = 0;
  const int fd = open(ShortPath(path).text().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? Status::kTaken : Status::kFailed;
  const Status status = lock_whole(fd, F_RDLCK, path, holder);
  if (status == Status::kTaken) handle_ = fd;
  return status;
}

namespace {

// Copies |len| bytes from |at| on, in the kernel where it can, else
// through a buffer. 0, or the system's error number.
int copy_range(int in, int out, off_t at, off_t len) {
  off_t from = at, to = at;
  while (len > 0) {
    const ssize_t n = copy_file_range(in, &from, out, &to, static_cast<size_t>(len), 0);
    if (n > 0) {
      len -= n;
      continue;
    }
    if (n == 0) return EIO;  // the file got shorter
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return errno;
    break;
  }
  std::vector<char> buf(len > 0 ? 1 << 20 : 0);
  while (len > 0) {
    const ssize_t got = pread(in, buf.data(), static_cast<size_t>(std::min<off_t>(len, 1 << 20)), from);
    if (got <= 0) return got == 0 ? EIO : errno;
    for (ssize_t put = 0; put < got;) {
      const ssize_t n = pwrite(out, buf.data() + put, static_cast<size_t>(got - put), to);
      if (n < 0) return errno;
      put += n;
      to += n;
    }
    from += got;
    len -= got;
  }
  return 0;
}

// Copies what |in| holds: its length first, which leaves holes, then each
// stretch of data.
int copy_contents(int in, int out) {
  struct stat st;
  if (fstat(in, &st) != 0 || ftruncate(out, st.st_size) != 0) return errno;
  for (off_t at = 0; at < st.st_size;) {
    off_t data = lseek(in, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) return 0;  // a hole up to the end
    off_t hole = data < 0 ? st.st_size : lseek(in, data, SEEK_HOLE);
    if (data < 0) data = at;  // no holes on this file system: all data
    if (hole < 0) hole = st.st_size;
    if (const int error = copy_range(in, out, data, hole - data)) return error;
    at = hole;
  }
  return 0;
}

}  // namespace

int clone_file(const std::string& from, const std::string& to) {
  const int in = open(ShortPath(from).text().c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out =
      open(ShortPath(to).text().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (out < 0) {
    const int error = errno;
    close(in);
    return error;
  }
  int error = ioctl(out, FICLONE, in) == 0 ? 0 : copy_contents(in, out);
  if (close(out) != 0 && error == 0) error = errno;
  close(in);
  if (error != 0) unlink(ShortPath(to).text().c_str());
  return error;
}

HeldFolder::~HeldFolder() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  if (parent_ >= 0) close(static_cast<int>(parent_));
}

bool HeldFolder::open(const std::string& parent, const std::string& name) {
  if (handle_ >= 0 || name.empty() || name.find('/') != std::string::npos) return false;
  const int up = ::open(ShortPath(parent).text().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (up < 0) return false;
  parent_ = up;
  parent_path_ = parent;
  const int fd = openat(up, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  name_ = name;
  struct stat st = {};
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

bool HeldFolder::owned_by_this_user() const {
  struct stat st = {};
  return handle_ >= 0 && fstat(static_cast<int>(handle_), &st) == 0 && st.st_uid == geteuid();
}

double HeldFolder::seconds_unchanged() const {
  struct stat st = {};
  struct timespec now = {};
  if (handle_ < 0 || fstat(static_cast<int>(handle_), &st) != 0) return 0;
  clock_gettime(CLOCK_REALTIME, &now);
  const double age = static_cast<double>(now.tv_sec - st.st_mtim.tv_sec) +
                     static_cast<double>(now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
  return age > 0 ? age : 0;
}

bool HeldFolder::entries(std::vector<Entry>* list) const {
  list->clear();
  if (handle_ < 0) return false;
  const int fd = static_cast<int>(handle_);
  const int copy = dup(fd);
  DIR* folder = copy < 0 ? nullptr : fdopendir(copy);
  if (!folder) {
    if (copy >= 0) close(copy);
    return false;
  }
  rewinddir(folder);
  bool whole = true;
  while (const struct dirent* entry = readdir(folder)) {
    Entry e;
    e.name = entry->d_name;
    if (e.name == "." || e.name == "..") continue;
    struct stat st = {};
    if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      whole = false;
      continue;
    }
    e.plain_file = S_ISREG(st.st_mode);
    e.size = static_cast<uint64_t>(st.st_size);
    list->push_back(e);
  }
  closedir(folder);
  return whole;
}

FileLock::Status HeldFolder::lock_file(const std::string& name, FileLock* lock) const {
  if (handle_ < 0 || lock->handle_ >= 0) return FileLock::Status::kFailed;
  const int fd = openat(static_cast<int>(handle_), name.c_str(),
                        O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FileLock::Status::kFailed;
  struct stat st = {};
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return FileLock::Status::kFailed;
  }
  if (fcntl(fd, F_OFD_SETLK, &whole) != 0) {
    const int error = errno;
    close(fd);
    return error == EAGAIN || error == EACCES ? FileLock::Status::kHeld : FileLock::Status::kFailed;
  }
  lock->handle_ = fd;
  return FileLock::Status::kTaken;
}

bool HeldFolder::remove_file(const std::string& name) const {
  return handle_ >= 0 && unlinkat(static_cast<int>(handle_), name.c_str(), 0) == 0;
}

bool HeldFolder::remove() {
  if (handle_ < 0) return false;
  // Only while its name still names the folder held.
  struct stat held = {}, named = {};
  const bool same = fstat(static_cast<int>(handle_), &held) == 0 &&
                    fstatat(static_cast<int>(parent_), name_.c_str(), &named,
                            AT_SYMLINK_NOFOLLOW) == 0 &&
                    held.st_dev == named.st_dev && held.st_ino == named.st_ino;
  close(static_cast<int>(handle_));
  handle_ = -1;
  return same && unlinkat(static_cast<int>(parent_), name_.c_str(), AT_REMOVEDIR) == 0;
}

std::string environment_value(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

bool environment_has(const char* name) { return getenv(name) != nullptr; }

bool interpreter_finds(const std::string& name) {
  if (!environment_has("PATH")) return true;
  for (const std::string& file : posix_sh_search(name, environment_value("PATH")))
    if (path_kind(file) == PathKind::kFile && access(file.c_str(), X_OK) == 0) return true;
  return false;
}

std::string absolute_path(const std::string& path) {
  std::string cwd;
  if (path.empty() || path[0] == '/' || !current_directory(&cwd)) return path;
  return cwd + (cwd.back() == '/' ? "" : "/") + path;
}

std::string last_path_component(const std::string& path) {
  return posix_last_component(path);
}

std::string temporary_directory() {
  const std::string dir = environment_value("TMPDIR");
  return dir.empty() ? "/tmp" : dir;
}

FILE* create_runtime_named_file(std::string* path) {
  path->clear();
  return nullptr;
}

std::string interpreter_quoted(const std::string& text) { return posix_sh_quoted(text); }

std::string interpreter_word(const std::string& text) { return posix_sh_word(text); }

// Inside its double quotes /bin/sh is left nothing to act on.
std::string interpreter_changes(const std::string&) { return ""; }

bool raw_command_line(std::string*) { return false; }

std::vector<std::string> program_words(int argc, char** argv, const std::vector<bool>&) {
  return std::vector<std::string>(argv, argv + argc);
}

size_t read_standard_input(char* buf, size_t cap) {
  for (;;) {
    const ssize_t n = read(0, buf, cap);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return 0;
  }
}

namespace {

OutputWrite write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // An output opened without blocking takes what it has room for; the
    // rest waits until the reader makes more.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, -1);
      continue;
    }
    if (n < 0 && errno == EPIPE) return OutputWrite::kReaderGone;
    if (n == 0) errno = EIO;
    return OutputWrite::kFailed;
  }
  return OutputWrite::kWritten;
}

}  // namespace

OutputWrite write_standard_output(const char* data, size_t len) { return write_all(1, data, len); }

void keep_broken_pipes_in_this_thread() {
  // Blocked, the signal a broken pipe raises stays pending on this thread
  // alone, and the write fails with EPIPE.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

OutputWrite write_file_bytes(FILE* file, const char* data, size_t len) {
  return write_all(fileno(file), data, len);
}

PathKind path_kind(const std::string& path) {
  struct stat st;
  if (!stat_path(path, &st)) return PathKind::kMissing;
  if (S_ISREG(st.st_mode)) return PathKind::kFile;
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

bool seek_file(FILE* file, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool stream_size(FILE* file, uint64_t* size) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

namespace {

// A suffix of this program's own: its process id, the clock and a counter.
std::string own_suffix() {
  static unsigned counter = 0;
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  char suffix[64];
  snprintf(suffix, sizeof suffix, "%ld_%llx_%u", static_cast<long>(getpid()),
           static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
               static_cast<unsigned long long>(now.tv_nsec),
           counter++);
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

bool create_own_named_folder(const std::string& stem, std::string* path) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    *path = stem + own_suffix();
    if (mkdir(ShortPath(*path).text().c_str(), 0777) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

std::vector<std::string> folder_entries(const std::string& dir) {
  std::vector<std::string> names;
  const ShortPath target(dir);
  DIR* folder = opendir(target.text().c_str());
  if (!folder) return names;
  while (const struct dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(folder);
  return names;
}

bool replace_file(const std::string& from, const std::string& to) {
  const ShortPath source(from), target(to);
  return rename(source.text().c_str(), target.text().c_str()) == 0;
}

// A FIFO opened without waiting reads as ended until a writer comes; poll
// holds back its hang-up until one has, so it waits for the writer.
void wait_for_fifo_writer(FILE* file) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  struct pollfd fifo = {fileno(file), POLLIN, 0};
  // A signal ends the wait as it would end the read.
  poll(&fifo, 1, -1);
}

void make_undumpable() { prctl(PR_SET_DUMPABLE, 0); }
