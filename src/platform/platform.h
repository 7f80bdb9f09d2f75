// What the launcher asks of the operating system. One implementation file
// per platform (platform_posix.cpp, platform_win32.cpp); the rest of the
// launcher never tests which platform it runs on.
#ifndef ZELK_PLATFORM_PLATFORM_H_
#define ZELK_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The separator this platform writes into the paths it forms.
extern const char kPathSeparator;

// Full path of the running executable, however long. False when it cannot
// be read.
bool own_executable_path(std::string* path);

// Current directory, however long. False when it cannot be read.
bool current_directory(std::string* path);

// True when |path| names an existing file system object that is not a
// directory.
bool path_is_existing_non_directory(const std::string& path);

// Size in bytes of the file at |path|, whatever the width of the runtime's
// file positions; false when it cannot be read.
bool file_size_of(const std::string& path, uint64_t* size);

// True when |path| names any existing file system object.
bool path_exists(const std::string& path);

// Opens |path| as fopen does with |mode|, also where the path is longer
// than the system's calls take; nullptr when it cannot.
FILE* open_file_stream(const std::string& path, const char* mode);

// Opens |path| for reading and writing as the simulator holds its backing
// files while it runs: other processes may read it but not write it, where
// the platform can forbid that.
FILE* open_file_denying_writers(const std::string& path);

// Creates the file |path| for writing bytes, failing if any object already
// has that name; nullptr when it cannot.
FILE* create_new_file(const std::string& path);

// Gives the file |from| the name |to| in the same folder, but only while no
// object has that name: an existing one is never replaced. False when the
// name is taken or the rename fails; |from| then stays as it was.
bool publish_file(const std::string& from, const std::string& to);

// Removes the file |path|; false when it cannot.
bool remove_file(const std::string& path);

// An exclusive lock on a file, held by this process until the object goes
// or the process ends, however it ends. Programs this process starts do not
// inherit it, except a BoundCommand that is given it to share.
class FileLock {
 public:
  enum class Status { kTaken, kHeld, kFailed };
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Creates |path| when missing and locks it. kHeld when another process
  // holds the lock; |holder| is then its process id, or 0 where the
  // platform cannot tell. kFailed sets errno.
  Status take(const std::string& path, long* holder);

  // Takes the existing lock file |path| for reading alone: any number of
  // readers hold it at once, and no one takes it as above while they do.
  // kHeld while someone else has taken it as above. A missing file is
  // taken without a lock and is not created: no one ever took it. kFailed
  // sets errno.
  Status take_shared(const std::string& path, long* holder);

  // The system's handle of the lock, for a BoundCommand to share; -1 when
  // none is held.
  intptr_t handle() const { return handle_; }

 private:
  friend class HeldFolder;
  intptr_t handle_ = -1;
};

// A folder reached without following a link at its name and held open by
// its handle, so that what is done in it stays in it whatever is renamed
// or linked meanwhile. Closed with the object.
class HeldFolder {
 public:
  struct Entry {
    std::string name;
    bool plain_file = false;  // a file of its own: no link, folder or device
    uint64_t size = 0;
  };
  HeldFolder() = default;
  ~HeldFolder();
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

  // Opens the folder |name| in |parent|; false when that is a link or no
  // folder, or cannot be opened.
  bool open(const std::string& parent, const std::string& name);
  // True when the user running this process owns it.
  bool owned_by_this_user() const;
  // Seconds since what it holds last changed; 0 when that cannot be told.
  double seconds_unchanged() const;
  // What it holds, "." and ".." aside; false when it cannot be read.
  bool entries(std::vector<Entry>* list) const;
  // Locks its file |name| as FileLock::take does, but never creates it and
  // never follows a link.
  FileLock::Status lock_file(const std::string& name, FileLock* lock) const;
  // Removes its file |name|; a link is removed itself, never what it names.
  bool remove_file(const std::string& name) const;
  // Removes the folder itself, which must be empty by now, and closes it.
  bool remove();

 private:
  intptr_t handle_ = -1, parent_ = -1;
  std::string parent_path_, name_;
};

// Value of the environment variable |name|, empty when it is unset. Names
// follow the platform's rule (on Windows they match regardless of case).
std::string environment_value(const char* name);

// True when the environment variable |name| is set, also to nothing.
bool environment_has(const char* name);

// |path| taken from the current directory where it is relative.
std::string absolute_path(const std::string& path);

// Last path component of |path| by the platform's rules.
std::string last_path_component(const std::string& path);

// Creates a new file for writing bytes under the next name the C runtime
// hands out for temporary files (tmpnam_s on Windows), never opening an
// existing one; |path| is the name tried last. nullptr with |path| empty
// where the runtime has no name to give: POSIX's tmpnam is not safe to use,
// and the Windows runtime's names run out.
FILE* create_runtime_named_file(std::string* path);

// |text| as one word for the platform's command interpreter: in double
// quotes, with whatever the interpreter would still read inside them
// escaped where it can be.
std::string interpreter_quoted(const std::string& text);

// What the command interpreter would still change in |text| written as
// interpreter_quoted writes it, with this process's environment, which it
// inherits: on Windows a %NAME% of a set variable that the quoting cannot
// hide. Empty when the interpreter hands the text on as it stands.
std::string interpreter_changes(const std::string& text);

// False when the command interpreter that runs a line would not find the
// program |name| (given without a folder): /bin/sh in PATH, cmd.exe in the
// current folder and PATH with PATHEXT. True also where that cannot be
// told: with no PATH a shell searches a list of its own.
bool interpreter_finds(const std::string& name);

// |text| as one word for the interpreter as above, but as it stands where
// nothing in it means something to the interpreter.
std::string interpreter_word(const std::string& text);

// Writes |len| bytes to standard output as they are, unbuffered and
// untranslated, waiting while a non-blocking output is full.
enum class OutputWrite { kWritten, kReaderGone, kFailed };  // kFailed sets errno
OutputWrite write_standard_output(const char* data, size_t len);

// Makes a write of the calling thread to a pipe whose reader is gone fail
// (kReaderGone) rather than end the process, whatever the process does
// with SIGPIPE, now or later.
void keep_broken_pipes_in_this_thread();

// As write_standard_output, to the open |file|, past its stream's buffer
// (which must be empty) and without taking the stream's lock.
OutputWrite write_file_bytes(FILE* file, const char* data, size_t len);

// Reads up to |cap| bytes of standard input as they are, untranslated (a
// carriage return stays one), waiting for at least one. Their count, or 0
// once the input has ended or cannot be read.
size_t read_standard_input(char* buf, size_t cap);

// The words this program was started with, word 0 first. On Windows the C
// runtime is told not to expand wildcard patterns among them, which it
// would do to every word alike; they are expanded here by its rules, but
// never a word whose |literal| entry is true. A pattern becomes the names
// it matches in its folder, the folder as written before them, "." and
// ".." aside; one that matches nothing stays as it is. POSIX: the shell
// expanded them already, as the user asked.
std::vector<std::string> program_words(int argc, char** argv, const std::vector<bool>& literal);

// The command line as the process received it, before it was split into
// words; false on platforms where only the words exist.
bool raw_command_line(std::string* line);

// Files beyond the first 2 GiB and what stands at a path. These set errno
// when they fail, also where the system itself reports otherwise, so that
// a caller can pass the system's reason on.

// What a path names.
enum class PathKind { kMissing, kFile, kFolder, kOther };

// kMissing also when the path cannot be looked at; errno then says why.
PathKind path_kind(const std::string& path);

// Moves |file| to |offset| from its start, with 64-bit offsets on every
// platform (a long is 32 bits on Windows). False when the seek fails.
bool seek_file(FILE* file, uint64_t offset);

// The size in bytes of the open |file|; false when it cannot be read.
bool stream_size(FILE* file, uint64_t* size);

// Creates a new file for writing bytes named |stem| followed by a suffix of
// this program's own (its process id, the clock and a counter), never
// opening an existing file; nullptr when it cannot. |path| is the name made
// last.
FILE* create_own_named_file(const std::string& stem, std::string* path);

// The user's folder for temporary files: $TMPDIR or /tmp on POSIX, the
// profile's AppData\Local\Temp on Windows, where the raw images go.
std::string temporary_directory();

// Creates a new folder named |stem| followed by a suffix of this program's
// own, as create_own_named_file names files; false, errno set, when it
// cannot. |path| is the name made last.
bool create_own_named_folder(const std::string& stem, std::string* path);

// The names of what the folder |dir| holds, "." and ".." aside; empty when
// it cannot be read.
std::vector<std::string> folder_entries(const std::string& dir);

// Gives the file |from| the name |to| in the same folder, replacing what
// has that name. False when it cannot; both then stay as they were.
bool replace_file(const std::string& from, const std::string& to);

// Creates the file |to|, which must not exist, with the contents of
// |from|: a clone sharing its blocks where the file system makes one (btrfs
// and XFS on Linux, ReFS on Windows), else a copy that leaves the holes of
// a sparse file holes. 0, or the system's error number; |to| is then gone.
int clone_file(const std::string& from, const std::string& to);

// Waits until the FIFO |file|, opened without waiting for a writer, has
// had one: until there is something to read or its writer has gone.
// Returns at once for any other file, and where the platform has no FIFOs.
void wait_for_fifo_writer(FILE* file);

// Makes this process's descriptors unreadable to its own user in /proc,
// as file capabilities or setuid make a simulator's; the stand-in plays
// such a simulator with it. Nothing where the system has no such notion.
void make_undumpable();

#endif  // ZELK_PLATFORM_PLATFORM_H_
