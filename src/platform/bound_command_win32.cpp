// The command runs in a job object made to end every process in it when its
// last handle closes. The launcher holds the only handle, so however the
// launcher ends, the system ends the interpreter and everything it started.
// The command shares the launcher's console: Ctrl-C typed there, or the
// console closing, reaches it directly, as it does every program attached
// to that console. It inherits the three standard handles, and the chip's
// lock when it is given one, and nothing else the launcher has open.
#include "platform/bound_command.h"

#include <windows.h>
// After windows.h, which it needs.
#include <ntsecapi.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// How long an ended command may take to be gone before it is given up on.
constexpr DWORD kForcedMs = 5000;
constexpr DWORD kOutputPiece = 64 * 1024;
// How long the output of an ended command may take to arrive: each piece
// within kDrainMs of the last, all of it within kDrainTotalMs of the end,
// however much a process left behind goes on printing.
constexpr DWORD kDrainMs = 200;
constexpr ULONGLONG kDrainTotalMs = 1000;
// How long a cancelled read may take to be reported done.
constexpr DWORD kCancelMs = 2000;

// Set by the console's events. They last as long as the process: the
// handler runs on a thread of its own and may still be running after the
// BoundCommand that listened has gone.
HANDLE g_interrupt = nullptr;  // resets once seen
HANDLE g_stop = nullptr;       // stays set
std::atomic<bool> g_listening{false};

BOOL WINAPI on_console_event(DWORD type) {
  if (!g_listening) return FALSE;
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    SetEvent(g_interrupt);
    return TRUE;
  }
  // A close, logoff or shutdown ends this process as soon as a handler
  // returns; the handler waits here while the launcher ends its command,
  // which then ends the process itself (obey_stop_request).
  SetEvent(g_stop);
  Sleep(INFINITE);
  return TRUE;
}

// A handle closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE h = nullptr) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_;
};

// The system's text for |code|, on one line and without its full stop.
std::string system_reason(DWORD code) {
  char* text = nullptr;
  const DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason = len ? std::string(text, len) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!reason.empty() && strchr(" \t\r\n.", reason.back())) reason.pop_back();
  return reason;
}

// An inheritable duplicate of |handle|; none where there is no handle to
// duplicate (a program started without one of its standard handles).
HANDLE inheritable_copy(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS))
    return nullptr;
  return copy;
}

// A security descriptor that lets this user alone at what it guards.
class OwnUserOnly {
 public:
  bool make() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const BOOL got = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!got) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
    acl_.resize(acl_size);
    ACL* acl = reinterpret_cast<ACL*>(acl_.data());
    return InitializeAcl(acl, acl_size, ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
           InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
  }
  SECURITY_DESCRIPTOR* get() { return &descriptor_; }

 private:
  std::vector<char> user_, acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
};

// A pipe whose end of ours can be waited on with others and written or
// read without blocking, which an anonymous pipe's cannot; the command's
// end is inheritable. |inbound|: the command writes, we read. Its name is
// one no one can guess, of one instance, open to this user alone: no other
// process can take the name first, nor connect to it.
bool create_pipe(bool inbound, Handle* ours, Handle* theirs) {
  unsigned char random[16];
  OwnUserOnly access;
  if (!RtlGenRandom(random, sizeof random) || !access.make()) return false;
  std::string name = "\\\\.\\pipe\\zelk_sim-";
  for (unsigned char byte : random) {
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", byte);
    name += hex;
  }
  SECURITY_ATTRIBUTES own = {sizeof own, access.get(), FALSE};
  ours->reset(CreateNamedPipeA(
      name.c_str(),
      (inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
          FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, inbound ? 0 : kOutputPiece,
      inbound ? kOutputPiece : 0, 0, &own));
  if (!ours->valid()) return false;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  theirs->reset(CreateFileA(name.c_str(), inbound ? GENERIC_WRITE : GENERIC_READ, 0, &inherit,
                            OPEN_EXISTING, 0, nullptr));
  if (theirs->valid()) return true;
  ours->reset();
  return false;
}

// The handles a new process inherits, and the job it starts in.
class Attributes {
 public:
  // |job| may be none. Console handles before Windows 8 are no handles of
  // the system's, which the list refuses; they reach the command through
  // the console anyway.
  Attributes(const std::vector<HANDLE>& inherited, HANDLE job) {
    for (HANDLE h : inherited)
      if (h && (reinterpret_cast<uintptr_t>(h) & 3) != 3) handles_.push_back(h);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    buffer_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list_, 2, 0, &size)) {
      list_ = nullptr;
      return;
    }
    has_handles_ = !handles_.empty() &&
                   UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                             handles_.data(), handles_.size() * sizeof(HANDLE),
                                             nullptr, nullptr);
    // Older systems than Windows 10 know no job list.
    job_ = job;
    has_job_ = job_ && UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_,
                                                  sizeof job_, nullptr, nullptr);
  }
  ~Attributes() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }
  bool has_job() const { return has_job_; }
  // Without a handle to list, inheriting would hand on every inheritable
  // handle.
  BOOL inherits() const { return has_handles_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  HANDLE job_ = nullptr;
  bool has_handles_ = false, has_job_ = false;
};

// Opens the processes of |job| that have not ended yet, to wait for them;
// false when the system will not list them.
bool open_running_processes(HANDLE job, std::vector<Handle>* running) {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[255];
  } ids = {};
  if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr) &&
      GetLastError() != ERROR_MORE_DATA)
    return false;
  for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
    Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(ids.list.ProcessIdList[i])));
    // The id may have passed to another process since it was listed.
    BOOL in_job = FALSE;
    if (process.valid() && IsProcessInJob(process.get(), job, &in_job) && in_job &&
        WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT)
      running->push_back(std::move(process));
  }
  return true;
}

// True once no process of |job| is active, by the job's count.
bool job_empty(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
  return !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                    sizeof accounting, nullptr) ||
         accounting.ActiveProcesses == 0;
}

// Ends every process of |job| and returns once each has ended and closed
// what it held, or |deadline| has passed. The job's count of active
// processes may drop as a process exits, before its handles have closed
// (the chip's lock among them), so each process is waited for itself,
// where the system lists them. The job is ended again while any is left: a
// process still being created as the job ends is not ended with it.
void end_job(HANDLE job, ULONGLONG deadline) {
  for (;;) {
    TerminateJobObject(job, 1);
    std::vector<Handle> running;
    const bool listed = open_running_processes(job, &running);
    if (listed ? running.empty() : job_empty(job)) return;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    std::vector<HANDLE> waits;
    for (const Handle& process : running)
      if (waits.size() < MAXIMUM_WAIT_OBJECTS) waits.push_back(process.get());
    const DWORD wait_ms = static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50);
    if (waits.empty()) Sleep(5);
    else WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE, wait_ms);
  }
}

// A read in flight. The system writes into it until the read is reported
// done, so it is freed only then.
struct Reading {
  OVERLAPPED overlapped = {};
  char piece[kOutputPiece];
};

}  // namespace

struct BoundCommand::State {
  Handle job, process;
  Handle out{INVALID_HANDLE_VALUE};
  Handle input;  // writing end of the command's standard input
  // The send in flight. The system reads from it until the write is
  // reported done, so it is freed only then.
  struct Sending {
    OVERLAPPED overlapped = {};
    std::string bytes;
    size_t sent = 0;
  };
  std::unique_ptr<Sending> sending;
  bool write_pending = false;
  DWORD send_error = ERROR_SUCCESS;  // a send that failed as it started
  ULONGLONG drain_until = 0;
  // Past the drain's bound: only the |rest| bytes the pipe held then are
  // still read.
  bool last_reads = false;
  DWORD rest = 0;
  std::unique_ptr<Reading> reading;
  bool read_pending = false;
  size_t held = 0, held_at = 0;  // read but not yet handed on
  bool listening = false, ended = false, gone = false;
  DWORD status = 0;
  std::string problem;

  ~State() {
    close_output();
    close_input();
    if (reading && reading->overlapped.hEvent) CloseHandle(reading->overlapped.hEvent);
    if (sending && sending->overlapped.hEvent) CloseHandle(sending->overlapped.hEvent);
  }

  void close_input() {
    if (!input.valid()) return;
    if (write_pending) {
      CancelIoEx(input.get(), &sending->overlapped);
      DWORD put = 0;
      if (WaitForSingleObject(sending->overlapped.hEvent, kCancelMs) == WAIT_OBJECT_0) {
        GetOverlappedResult(input.get(), &sending->overlapped, &put, FALSE);
      } else {
        // Freed, the bytes could still be read from: left to the process.
        static_cast<void>(sending.release());
      }
      write_pending = false;
    }
    input.reset();
  }

  // Starts writing what is left of the send; a write that cannot start
  // is said by the next wait.
  void start_write() {
    ResetEvent(sending->overlapped.hEvent);
    const size_t left = sending->bytes.size() - sending->sent;
    const DWORD piece = left > kOutputPiece ? kOutputPiece : static_cast<DWORD>(left);
    if (WriteFile(input.get(), sending->bytes.data() + sending->sent, piece, nullptr,
                  &sending->overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
      write_pending = true;
      return;
    }
    send_error = GetLastError();
  }

  // The write in flight is done: the next starts, or the send is.
  bool finish_write(Event* event) {
    write_pending = false;
    DWORD put = 0;
    if (!GetOverlappedResult(input.get(), &sending->overlapped, &put, FALSE)) {
      send_error = GetLastError();
      return send_failed(event);
    }
    sending->sent += put;
    if (sending->sent < sending->bytes.size()) {
      start_write();
      return send_error != ERROR_SUCCESS && send_failed(event);
    }
    std::string().swap(sending->bytes);
    *event = Event::kSent;
    return true;
  }

  bool send_failed(Event* event) {
    errno = send_error == ERROR_BROKEN_PIPE || send_error == ERROR_NO_DATA ? EPIPE : EIO;
    send_error = ERROR_SUCCESS;
    std::string().swap(sending->bytes);
    *event = Event::kSendFailed;
    return true;
  }

  Event wait(int64_t timeout_ms, char* buf, size_t cap, size_t* got, bool reading_output);

  void close_output() {
    if (!out.valid()) return;
    if (read_pending && !cancel_read()) {
      // Freed, the buffer could still be written into: it is left to the
      // process instead.
      static_cast<void>(reading.release());
    }
    read_pending = false;
    out.reset();
  }

  // Cancels the read in flight; true once the system has reported it done.
  bool cancel_read() {
    CancelIoEx(out.get(), &reading->overlapped);
    if (WaitForSingleObject(reading->overlapped.hEvent, kCancelMs) != WAIT_OBJECT_0) return false;
    DWORD got = 0;
    GetOverlappedResult(out.get(), &reading->overlapped, &got, FALSE);
    return true;
  }

  // Hands on what the last read brought, as much as |cap| takes; the next
  // read starts once all of it is handed on.
  Event hand_on(char* buf, size_t cap, size_t* got) {
    const size_t n = held < cap ? held : cap;
    memcpy(buf, reading->piece + held_at, n);
    *got = n;
    held_at += n;
    held -= n;
    if (held == 0 && out.valid() && !start_read()) close_output();
    return Event::kOutput;
  }

  // Starts the next read; true when it has bytes already or pends.
  bool start_read() {
    DWORD want = sizeof reading->piece;
    if (last_reads) {
      if (rest == 0) return false;
      if (rest < want) want = rest;
    }
    ResetEvent(reading->overlapped.hEvent);
    read_pending = true;
    DWORD got = 0;
    if (ReadFile(out.get(), reading->piece, want, &got, &reading->overlapped))
      return true;
    if (GetLastError() == ERROR_IO_PENDING) return true;
    read_pending = false;
    return false;
  }

  // The read in flight is done: its bytes are held, or the output closes.
  void finish_read() {
    DWORD got = 0;
    read_pending = false;
    if (!GetOverlappedResult(out.get(), &reading->overlapped, &got, FALSE)) {
      close_output();
      return;
    }
    held = got;
    held_at = 0;
    if (last_reads) rest -= got < rest ? got : rest;
    if (held == 0 && !start_read()) close_output();
  }

  // The drain's bound has passed: a process the interpreter left behind
  // may hold the pipe open and print for good, so what comes later is not
  // waited for. But what the pipe holds now, the simulator's last output
  // that this process had no time for while it wrote the console or the
  // log, is read to its end.
  void read_what_is_left() {
    last_reads = true;
    if (read_pending) {
      CancelIoEx(out.get(), &reading->overlapped);
      if (WaitForSingleObject(reading->overlapped.hEvent, kCancelMs) != WAIT_OBJECT_0) {
        close_output();
        return;
      }
      read_pending = false;
      // A read done as it was cancelled keeps its bytes.
      DWORD got = 0;
      if (GetOverlappedResult(out.get(), &reading->overlapped, &got, FALSE)) {
        held = got;
        held_at = 0;
      }
    }
    DWORD available = 0;
    rest = PeekNamedPipe(out.get(), nullptr, 0, nullptr, &available, nullptr) ? available : 0;
    if (held == 0 && !start_read()) close_output();
  }

  void note_end() {
    GetExitCodeProcess(process.get(), &status);
    ended = true;
    drain_until = GetTickCount64() + kDrainTotalMs;
  }

  void listen() {
    if (!g_interrupt) g_interrupt = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!g_stop) g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(g_interrupt);
    ResetEvent(g_stop);
    g_listening = true;
    listening = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
  }

  // A job that ends what it holds once its last handle closes; none, with
  // the problem said, where the system will not make one.
  void make_job() {
    job.reset(CreateJobObjectA(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.valid() &&
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits))
      return;
    unbound(GetLastError());
    job.reset();
  }

  // Says that |interpreter| could not be started, and why.
  bool cannot_start(const std::string& interpreter, DWORD error) {
    problem = "cannot start " + interpreter + ": " + system_reason(error);
    return false;
  }

  void unbound(DWORD error) {
    problem = "the simulator is not bound to the launcher: " + system_reason(error);
  }

  // Starts |command| in the job; the system's error when it cannot. With a
  // job list the process is in the job before it runs, and a launcher
  // killed at any moment leaves nothing behind. Where the system knows no
  // job list (before Windows 10) or refuses the job (an enclosing job that
  // allows none inside it), the process starts suspended, is put in the
  // job, and runs whether that worked or not: a simulator left unbound is
  // said, never refused.
  DWORD create(std::vector<char>* command, const char* application, STARTUPINFOEXA* startup,
               const std::vector<HANDLE>& inherited, PROCESS_INFORMATION* info) {
    const DWORD flags = EXTENDED_STARTUPINFO_PRESENT;
    {
      Attributes with_job(inherited, job.get());
      startup->lpAttributeList = with_job.list();
      if (with_job.has_job() &&
          CreateProcessA(application, command->data(), nullptr, nullptr, with_job.inherits(),
                         flags, nullptr, nullptr, &startup->StartupInfo, info))
        return ERROR_SUCCESS;
    }
    Attributes without_job(inherited, nullptr);
    startup->lpAttributeList = without_job.list();
    if (!CreateProcessA(application, command->data(), nullptr, nullptr, without_job.inherits(),
                        flags | CREATE_SUSPENDED, nullptr, nullptr, &startup->StartupInfo, info))
      return GetLastError();
    if (job.valid() && !AssignProcessToJobObject(job.get(), info->hProcess)) unbound(GetLastError());
    ResumeThread(info->hThread);
    return ERROR_SUCCESS;
  }
};

BoundCommand::BoundCommand() : s_(new State) {}

BoundCommand::~BoundCommand() {
  end();
  if (s_->listening) SetConsoleCtrlHandler(on_console_event, FALSE);
  g_listening = false;
  // Closing the job ends whatever of it might still run.
}

bool BoundCommand::start(const std::string& line, const Options& options) {
  State& s = *s_;
  // The command line the C runtime's system() hands to the interpreter.
  const std::string comspec = environment_value("COMSPEC");
  const std::string interpreter = comspec.empty() ? "cmd.exe" : comspec;
  s.listen();
  s.make_job();

  Handle out_write;
  if (options.capture) {
    s.reading.reset(new Reading);
    s.reading->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!s.reading->overlapped.hEvent || !create_pipe(true, &s.out, &out_write))
      return s.cannot_start(interpreter, GetLastError());
  }
  Handle in;
  if (options.input) {
    s.sending.reset(new State::Sending);
    s.sending->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!s.sending->overlapped.hEvent || !create_pipe(false, &s.input, &in))
      return s.cannot_start(interpreter, GetLastError());
  } else {
    in.reset(inheritable_copy(GetStdHandle(STD_INPUT_HANDLE)));
  }
  Handle out(options.capture ? nullptr : inheritable_copy(GetStdHandle(STD_OUTPUT_HANDLE)));
  Handle err(inheritable_copy(GetStdHandle(STD_ERROR_HANDLE)));
  // The lock's open file, shared: it stays locked while any process of the
  // command has it open.
  const intptr_t lock = options.shared_lock ? options.shared_lock->handle() : -1;
  Handle lock_copy(lock == -1 ? nullptr : inheritable_copy(reinterpret_cast<HANDLE>(lock)));

  STARTUPINFOEXA startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in.get();
  startup.StartupInfo.hStdOutput = options.capture ? out_write.get() : out.get();
  startup.StartupInfo.hStdError = err.get();
  std::vector<char> command(interpreter.begin(), interpreter.end());
  const std::string rest = " /c " + line;
  command.insert(command.end(), rest.begin(), rest.end());
  command.push_back('\0');
  PROCESS_INFORMATION info = {};
  const DWORD error =
      s.create(&command, comspec.empty() ? nullptr : comspec.c_str(), &startup,
               {in.get(), startup.StartupInfo.hStdOutput, err.get(), lock_copy.get()}, &info);
  if (error != ERROR_SUCCESS) {
    s.out.reset();
    return s.cannot_start(interpreter, error);
  }
  CloseHandle(info.hThread);
  s.process.reset(info.hProcess);
  if (options.capture && !s.start_read()) s.close_output();
  return true;
}

BoundCommand::Event BoundCommand::wait(int64_t timeout_ms, char* buf, size_t cap, size_t* got) {
  return s_->wait(timeout_ms, buf, cap, got, true);
}

BoundCommand::Event BoundCommand::wait_without_output(int64_t timeout_ms) {
  return s_->wait(timeout_ms, nullptr, 0, nullptr, false);
}

BoundCommand::Event BoundCommand::State::wait(int64_t timeout_ms, char* buf, size_t cap,
                                              size_t* got, bool reading_output) {
  State& s = *this;
  const ULONGLONG deadline =
      timeout_ms < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    if (WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) return Event::kStopRequest;
    if (WaitForSingleObject(g_interrupt, 0) == WAIT_OBJECT_0) return Event::kInterrupt;
    Event sent;
    if (s.send_error != ERROR_SUCCESS && s.send_failed(&sent)) return sent;
    if (reading_output) {
      // A process the interpreter left behind that goes on printing is
      // not waited for past the drain's bound.
      if (s.ended && s.out.valid() && !s.last_reads && GetTickCount64() >= s.drain_until)
        s.read_what_is_left();
      if (s.held > 0) return s.hand_on(buf, cap, got);
      if (s.ended && !s.out.valid()) return Event::kEnded;
    }
    HANDLE handles[5] = {g_stop, g_interrupt};
    DWORD count = 2;
    const DWORD process_at = s.ended ? MAXDWORD : count;
    if (!s.ended) handles[count++] = s.process.get();
    // The send before the output: of the two done at once, the output may
    // be the send's answer, which is looked for only once it is written.
    const DWORD write_at = s.write_pending ? count : MAXDWORD;
    if (s.write_pending) handles[count++] = s.sending->overlapped.hEvent;
    const bool read_out = reading_output && s.out.valid();
    const DWORD read_at = read_out ? count : MAXDWORD;
    if (read_out) handles[count++] = s.reading->overlapped.hEvent;
    DWORD wait_ms = INFINITE;
    if (timeout_ms >= 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return Event::kTimedOut;
      wait_ms = static_cast<DWORD>(deadline - now);
    }
    // Once the interpreter has ended, its output is read only as far as it
    // comes soon: a process it left behind may hold the pipe open.
    if (read_out && s.ended) {
      const ULONGLONG now = GetTickCount64();
      const ULONGLONG left = s.drain_until > now ? s.drain_until - now : 0;
      // The last reads find their bytes in the pipe already.
      const DWORD drain_ms =
          s.last_reads ? kCancelMs : static_cast<DWORD>(left < kDrainMs ? left : kDrainMs);
      if (drain_ms < wait_ms) wait_ms = drain_ms;
    }
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, wait_ms);
    if (woke == WAIT_TIMEOUT) {
      if (read_out && s.ended) {
        if (s.last_reads) s.close_output();
        else s.read_what_is_left();
      }
      continue;
    }
    if (woke == WAIT_FAILED) return reading_output ? Event::kEnded : Event::kTimedOut;
    const DWORD which = woke - WAIT_OBJECT_0;
    // The interruption's event reset as it woke this wait.
    if (which == 1) return Event::kInterrupt;
    if (which == process_at) s.note_end();
    if (which == read_at) s.finish_read();
    if (which == write_at && s.finish_write(&sent)) return sent;
  }
}

bool BoundCommand::send(const char* data, size_t len) {
  State& s = *s_;
  if (!s.input.valid() || s.write_pending || s.send_error != ERROR_SUCCESS) {
    errno = EPIPE;
    return false;
  }
  s.sending->bytes.assign(data, len);
  s.sending->sent = 0;
  s.start_write();
  return true;
}

// The console's Ctrl-C already reaches every process attached to the
// console, the interpreter and the simulator among them: there is nothing
// to pass on.
void BoundCommand::interrupt() {}

void BoundCommand::end() {
  State& s = *s_;
  if (!s.process.valid() || s.gone) return;
  // What it prints is read no more: one blocked printing to a full pipe
  // is freed to end as it is asked.
  s.close_output();
  if (!s.ended && WaitForSingleObject(s.process.get(), 0) == WAIT_OBJECT_0) s.note_end();
  if (s.job.valid()) {
    end_job(s.job.get(), GetTickCount64() + kForcedMs);
  } else {
    // Unbound, only the interpreter can be reached.
    TerminateProcess(s.process.get(), 1);
  }
  WaitForSingleObject(s.process.get(), kForcedMs);
  s.gone = true;
  // Open until the run has ended: no end of input reaches the simulator.
  s.close_input();
}

void BoundCommand::obey_stop_request() {
  // The exit status of a console program that a console event ended.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

int BoundCommand::status() const { return static_cast<int>(s_->status); }

const std::string& BoundCommand::problem() const { return s_->problem; }
