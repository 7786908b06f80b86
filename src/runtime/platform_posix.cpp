// The platform layer on POSIX systems. The platform code is errno.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/platform.h"
#include "runtime/platform_posix.h"

// The ELF header of a statically linked program, where dladdr knows nothing.
extern "C" const char __ehdr_start[] __attribute__((weak));  // NOLINT

namespace zub {

namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY;

PlatformCode OpenWith(const char* name, int flags, mode_t mode, Handle* handle) {
  int fd;
  do {
    fd = ::open(name, flags | kOpenFlags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  *handle = fd;
  return 0;
}

int Fd(Handle handle) { return static_cast<int>(handle); }

// Reading leaves the file's access time alone where the system allows it:
// a log is read in pieces of 128 bytes, and otherwise every one of those
// reads asks whether the access time is due. Only the file's owner may ask
// for this; for anyone else the file is opened the usual way.
PlatformCode OpenRead(const char* name, Handle* handle) {
#ifdef O_NOATIME
  PlatformCode code = OpenWith(name, O_RDONLY | O_NOATIME, 0, handle);
  if (code != EPERM) return code;
#endif
  return OpenWith(name, O_RDONLY, 0, handle);
}

PlatformCode OpenWrite(const char* name, Handle* handle) {
  return OpenWith(name, O_WRONLY | O_CREAT | O_TRUNC, 0666, handle);
}

PlatformCode ProbeWrite(const char* name) {
  Handle handle = 0;
  // Non-blocking, so that a pipe without a reader does not stall the probe.
  if (PlatformCode code = OpenWith(name, O_WRONLY | O_NONBLOCK, 0, &handle); code != 0) {
    return code;
  }
  ::close(Fd(handle));
  return 0;
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Writes all `size` bytes: from `offset` on where it is not negative, else
// at the file's position.
PlatformCode WriteAll(Handle handle, const void* data, std::size_t size, off_t offset) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t count =
        offset < 0 ? ::write(Fd(handle), bytes, size) : ::pwrite(Fd(handle), bytes, size, offset);
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (count == 0) return ENOSPC;
    bytes += count;
    size -= static_cast<std::size_t>(count);
    if (offset >= 0) offset += count;
  }
  return 0;
}

PlatformCode OpenUpdate(const char* name, Handle* handle) {
  return OpenWith(name, O_RDWR, 0, handle);
}

// How long a run waits for another to give up a file's lock.
constexpr long kLockWaitMs = 5000;

void SleepMs(long milliseconds) {
  timespec pause = {milliseconds / 1000, milliseconds % 1000 * 1000000};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// POSIX has no share modes: a lock that every run takes stands in for them,
// so that no run reads a file that another is rewriting in place. Other
// programs that take no lock are not kept out.
PlatformCode Lock(Handle handle, bool exclusive) {
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  long waited = 0;
  for (long step = 1;;) {
    if (::flock(Fd(handle), operation) == 0) return 0;
    if (errno == EINTR) continue;
    // A file system that keeps no locks: there is nothing to wait for.
    if (errno != EWOULDBLOCK) return 0;
    if (waited >= kLockWaitMs) return EWOULDBLOCK;
    SleepMs(step);
    waited += step;
    step = std::min(step * 2, 50L);
  }
}

PlatformCode LinkCount(Handle handle, std::uint32_t* count) {
  struct stat status;
  if (::fstat(Fd(handle), &status) != 0) return errno;
  *count = static_cast<std::uint32_t>(status.st_nlink);
  return 0;
}

// The named temporary file that has not yet replaced its file, for the
// interrupt handler: set before the name can exist, cleared once it is gone.
char PendingName[PATH_MAX + 64];
volatile sig_atomic_t HavePending = 0;

void SetPending(const std::string& name) {
  HavePending = 0;
  if (name.size() >= sizeof PendingName) return;  // cannot be: names come from realpath
  std::memcpy(PendingName, name.c_str(), name.size() + 1);
  HavePending = 1;
}

void ClearPending(const char* name) {
  if (HavePending != 0 && std::strcmp(name, PendingName) == 0) HavePending = 0;
}

// A name in the folder of `model` that nobody can guess, and that no
// process id or earlier run decides: a leftover never stands in the way.
std::string FreshName(const char* model) {
  std::uint64_t bits = 0;
  if (::getentropy(&bits, sizeof bits) != 0) {
    timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^
           static_cast<std::uint64_t>(now.tv_sec) ^ static_cast<std::uint64_t>(::getpid()) << 32;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = FolderOf(model) + "/.zub-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kDigits[bits >> shift & 0xF];
  return name + ".tmp";
}

constexpr int kNameAttempts = 100;

PlatformCode CreateUnnamed(const char* model, TemporaryFile* file) {
#ifdef O_TMPFILE
  Handle handle = 0;
  PlatformCode code = OpenWith(FolderOf(model).c_str(), O_TMPFILE | O_WRONLY, 0600, &handle);
  // Kernels and file systems without unnamed files say so in several ways.
  if (code == EOPNOTSUPP || code == EISDIR || code == EINVAL) return EOPNOTSUPP;
  if (code != 0) return code;
  *file = TemporaryFile{handle, "", false};
  return 0;
#else
  (void)model;
  (void)file;
  return EOPNOTSUPP;
#endif
}

PlatformCode CreateTemporary(const char* model, TemporaryFile* file) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string candidate = FreshName(model);
    SetPending(candidate);
    Handle handle = 0;
    PlatformCode code = OpenWith(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600, &handle);
    if (code == 0) {
      *file = TemporaryFile{handle, std::move(candidate), true};
      return 0;
    }
    HavePending = 0;
    if (code != EEXIST) return code;
  }
  return EEXIST;
}

PlatformCode NameTemporary(const char* model, TemporaryFile* file) {
  if (file->named) return 0;
  const std::string self = "/proc/self/fd/" + std::to_string(Fd(file->handle));
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string candidate = FreshName(model);
    SetPending(candidate);
    int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW);
#ifdef AT_EMPTY_PATH
    // Without /proc, a privileged process can still link the file itself.
    if (linked != 0 && errno == ENOENT) {
      linked = ::linkat(Fd(file->handle), "", AT_FDCWD, candidate.c_str(), AT_EMPTY_PATH);
    }
#endif
    if (linked == 0) {
      file->name = std::move(candidate);
      file->named = true;
      return 0;
    }
    const PlatformCode code = errno;
    HavePending = 0;
    if (code != EEXIST) return code;
  }
  return EEXIST;
}

// The names of the extended attributes of `path` (`fd` when it is not
// negative); none where the file system keeps none.
PlatformCode AttributeNames(const char* path, int fd, std::vector<std::string>* names) {
  names->clear();
  std::string list;
  for (;;) {
    ssize_t size = fd >= 0 ? ::flistxattr(fd, nullptr, 0) : ::listxattr(path, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : errno;
    if (size == 0) return 0;
    list.resize(static_cast<std::size_t>(size));
    size = fd >= 0 ? ::flistxattr(fd, list.data(), list.size())
                   : ::listxattr(path, list.data(), list.size());
    if (size >= 0) {
      list.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return errno;  // ERANGE: it grew meanwhile
  }
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = list.find('\0', at);
    names->push_back(list.substr(at, end - at));
    at = end == std::string::npos ? list.size() : end + 1;
  }
  return 0;
}

PlatformCode CopyAttribute(const char* model, const std::string& name, int fd) {
  std::string value;
  for (;;) {
    ssize_t size = ::getxattr(model, name.c_str(), nullptr, 0);
    if (size < 0) return errno;
    value.resize(static_cast<std::size_t>(size));
    size = ::getxattr(model, name.c_str(), value.data(), value.size());
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return errno;
  }
  return ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
}

// Owner and group first (a change of owner clears the set-id bits), then
// the attributes, ACLs among them (a folder's default ACL that the new file
// took over goes), and the mode last, which leaves an ACL's mask as the
// old file's group bits had it.
PlatformCode CopyMetadata(const char* model, Handle handle) {
  const int fd = Fd(handle);
  struct stat old;
  struct stat now;
  if (::stat(model, &old) != 0 || ::fstat(fd, &now) != 0) return errno;
  if ((old.st_uid != now.st_uid || old.st_gid != now.st_gid) &&
      ::fchown(fd, old.st_uid, old.st_gid) != 0) {
    return errno;
  }
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (PlatformCode code = AttributeNames(model, -1, &wanted); code != 0) return code;
  if (PlatformCode code = AttributeNames(nullptr, fd, &present); code != 0) return code;
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(fd, name.c_str()) != 0) {
      return errno;
    }
  }
  for (const std::string& name : wanted) {
    if (PlatformCode code = CopyAttribute(model, name, fd); code != 0) return code;
  }
  return ::fchmod(fd, old.st_mode & 07777) == 0 ? 0 : errno;
}

PlatformCode Replace(const char* from, const char* to) {
  if (::rename(from, to) != 0) return errno;
  ClearPending(from);
  return 0;
}

// Some file systems cannot sync a folder, or cannot open one for it; the
// file is in place by then, so that is done as well as it can be.
PlatformCode SyncFolder(const char* name) {
  Handle folder = 0;
  if (OpenWith(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY, 0, &folder) != 0) return 0;
  PlatformCode code = ::fsync(Fd(folder)) == 0 ? 0 : errno;
  ::close(Fd(folder));
  return code == EINVAL || code == EROFS || code == ENOTSUP ? 0 : code;
}

// The folder takes no new name (EACCES, EPERM, as in a sticky folder of
// another owner), or the file is a mount point of its own (EBUSY) or on
// another device than its temporary file (EXDEV).
bool OnlyInPlace(PlatformCode code) {
  return code == EACCES || code == EPERM || code == EBUSY || code == EXDEV;
}

PlatformCode Reserve(Handle handle, std::uint64_t length) {
  const int fd = Fd(handle);
  struct stat status;
  if (::fstat(fd, &status) != 0) return errno;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (length <= size) return 0;
  const auto from = static_cast<off_t>(size);
  const auto count = static_cast<off_t>(length - size);
#ifdef FALLOC_FL_KEEP_SIZE
  if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, from, count) == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
#endif
  if (PlatformCode code = ::posix_fallocate(fd, from, count); code != 0) {
    (void)::ftruncate(fd, from);
    return code == EOPNOTSUPP || code == EINVAL ? 0 : code;  // no room can be taken here
  }
  return 0;
}

PlatformCode WriteAt(Handle handle, std::uint64_t offset, const void* data, std::size_t size) {
  return WriteAll(handle, data, size, static_cast<off_t>(offset));
}

PlatformCode Truncate(Handle handle, std::uint64_t length) {
  return ::ftruncate(Fd(handle), static_cast<off_t>(length)) == 0 ? 0 : errno;
}

PlatformCode Remove(const char* name) {
  if (::unlink(name) != 0) return errno;
  ClearPending(name);
  return 0;
}

// Interrupts. The handler removes the pending temporary file, then the
// signal, its action reset to the default, ends the process as it would
// have without the handler. A signal that was ignored stays ignored.
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
bool Watching = false;

void OnInterrupt(int signal) {
  if (HavePending != 0) ::unlink(PendingName);
  (void)::raise(signal);
}

PlatformCode WatchInterrupts() {
  if (Watching) return 0;
  for (int signal : kInterruptSignals) {
    struct sigaction previous = {};
    if (::sigaction(signal, nullptr, &previous) != 0) return errno;
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    if (::sigaction(signal, &action, nullptr) != 0) return errno;
  }
  Watching = true;
  return 0;
}

void HoldInterrupts(bool hold) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : kInterruptSignals) sigaddset(&signals, signal);
  ::sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

// A closed standard input cannot be opened. A closed standard output is
// handed over all the same: its type cannot be told, which refuses it.
PlatformCode StdHandle(StdStream stream, Handle* handle) {
  if (stream == StdStream::kInput && ::fcntl(STDIN_FILENO, F_GETFD) < 0) return errno;
  *handle = stream == StdStream::kInput ? STDIN_FILENO : STDOUT_FILENO;
  return 0;
}

FileType TypeOf(Handle handle) {
  struct stat status;
  if (::fstat(Fd(handle), &status) != 0) return FileType::kUnknown;
  if (S_ISREG(status.st_mode)) return FileType::kDisk;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return FileType::kPipe;
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) return FileType::kChar;
  return FileType::kDisk;  // a folder: it fails at its first read
}

// A failed read: one interrupted by a signal is made again.
[[gnu::noinline]] PlatformCode ReadAfterFailure(Handle handle, void* buffer, std::size_t size,
                                                std::size_t* got) {
  while (errno == EINTR) {
    ssize_t count = ::read(Fd(handle), buffer, size);
    if (count >= 0) {
      *got = static_cast<std::size_t>(count);
      return 0;
    }
  }
  *got = 0;
  return errno;
}

// Runs once per 128 bytes of a log, so the usual case stays short.
PlatformCode Read(Handle handle, void* buffer, std::size_t size, std::size_t* got) {
  ssize_t count = ::read(Fd(handle), buffer, size);
  if (count < 0) return ReadAfterFailure(handle, buffer, size, got);
  *got = static_cast<std::size_t>(count);
  return 0;
}

PlatformCode Write(Handle handle, const void* data, std::size_t size) {
  return WriteAll(handle, data, size, -1);
}

PlatformCode SyncFile(Handle handle) { return ::fsync(Fd(handle)) == 0 ? 0 : errno; }

PlatformCode CloseFile(Handle handle) {
  // After EINTR the descriptor is gone all the same on Linux; not retried.
  return ::close(Fd(handle)) == 0 ? 0 : errno;
}

PlatformCode Resolve(const char* name, std::string* resolved) {
  char* path = ::realpath(name, nullptr);
  if (path == nullptr) return errno;
  resolved->assign(path);
  std::free(path);
  return 0;
}

PlatformCode ProgramPath(std::string* path) {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length < 0) return errno;
  path->assign(buffer, static_cast<std::size_t>(length));
  return 0;
}

const char* CommandLine() { return nullptr; }

// The arguments come as the bytes the caller gave; nothing was converted.
PlatformCode CheckCommandLine() { return 0; }

[[noreturn]] void ExitProcess(std::uint32_t status) {
  // Only eight bits reach the parent. A wider code must not come out as
  // another code, or as 0, so it ends with the highest status.
  ::_exit(status > 255 ? 255 : static_cast<int>(status));
}

bool ModuleBase(const void* address, std::uintptr_t* base) {
  Dl_info info;
  if (::dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
    *base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    return true;
  }
  if (__ehdr_start != nullptr && address >= static_cast<const void*>(__ehdr_start)) {
    *base = reinterpret_cast<std::uintptr_t>(__ehdr_start);
    return true;
  }
  return false;
}

// Fault handling. The handler runs on its own stack, so that a stack
// overflow can still be reported.
FaultHandler CurrentFaultHandler = nullptr;
alignas(16) char AlternateStack[64 * 1024];
std::uintptr_t StackTop = 0;
std::uintptr_t StackReach = 0;
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

bool OnStackGuard(const void* address) {
  auto at = reinterpret_cast<std::uintptr_t>(address);
  return at < StackTop && StackTop - at <= StackReach;
}

const void* FaultingInstruction(const siginfo_t* info, const void* context) {
#if defined(__linux__) && defined(__x86_64__)
  (void)info;
  const auto* state = static_cast<const ucontext_t*>(context);
  return reinterpret_cast<const void*>(state->uc_mcontext.gregs[REG_RIP]);
#elif defined(__linux__) && defined(__aarch64__)
  (void)info;
  const auto* state = static_cast<const ucontext_t*>(context);
  return reinterpret_cast<const void*>(state->uc_mcontext.pc);
#else
  (void)context;
  return info->si_addr;
#endif
}

void OnSignal(int signal, siginfo_t* info, void* context) {
  bool stack_overflow = signal == SIGSEGV && OnStackGuard(info->si_addr);
  CurrentFaultHandler(FaultCodeForSignal(signal, info->si_code, stack_overflow),
                      FaultingInstruction(info, context));
}

void InstallFaultHandler(FaultHandler handler) {
  // A write to a pipe whose reader has gone is an ordinary failed write.
  (void)::signal(SIGPIPE, SIG_IGN);

  int here = 0;
  StackTop = reinterpret_cast<std::uintptr_t>(&here);
  struct rlimit limit;
  StackReach = 8u << 20;
  if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    StackReach = static_cast<std::uintptr_t>(limit.rlim_cur);
  }
  StackReach += 2u << 20;  // the guard gap below the stack

  stack_t stack = {};
  stack.ss_sp = AlternateStack;
  stack.ss_size = sizeof AlternateStack;
  ::sigaltstack(&stack, nullptr);

  CurrentFaultHandler = handler;
  struct sigaction action = {};
  action.sa_sigaction = OnSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFaultSignals) ::sigaction(signal, &action, nullptr);
}

void RemoveFaultHandler() {
  for (int signal : kFaultSignals) (void)::signal(signal, SIG_DFL);
}

}  // namespace

std::uint32_t FaultCodeForSignal(int signal, int signal_code, bool stack_overflow) {
  switch (signal) {
    case SIGSEGV:
      return stack_overflow ? 202 : 216;
    case SIGBUS:
      return 216;
    case SIGFPE:
      switch (signal_code) {
        case FPE_INTDIV:
        case FPE_FLTDIV:
          return 200;
        case FPE_FLTSUB:
          return 201;
        case FPE_FLTOVF:
          return 205;
        case FPE_FLTUND:
          return 206;
        case FPE_FLTRES:
        case FPE_FLTINV:
          return 207;
        case FPE_INTOVF:
          return 215;
        default:
          return 255;
      }
    case SIGILL:
      return signal_code == ILL_PRVOPC || signal_code == ILL_PRVREG ? 218 : 255;
    default:
      return 255;
  }
}

const PlatformCalls& NativeCalls() {
  static const PlatformCalls calls = {
      .open_read = OpenRead,
      .open_write = OpenWrite,
      .open_update = OpenUpdate,
      .probe_write = ProbeWrite,
      .lock = Lock,
      .link_count = LinkCount,
      .create_unnamed = CreateUnnamed,
      .create_temporary = CreateTemporary,
      .copy_metadata = CopyMetadata,
      .name_temporary = NameTemporary,
      .replace = Replace,
      .sync_folder = SyncFolder,
      .only_in_place = OnlyInPlace,
      .reserve = Reserve,
      .write_at = WriteAt,
      .truncate = Truncate,
      .std_handle = StdHandle,
      .file_type = TypeOf,
      .read = Read,
      .write = Write,
      .sync = SyncFile,
      .close = CloseFile,
      .resolve = Resolve,
      .remove = Remove,
      .watch_interrupts = WatchInterrupts,
      .hold_interrupts = HoldInterrupts,
      .program_path = ProgramPath,
      .command_line = CommandLine,
      .check_command_line = CheckCommandLine,
      .exit_process = ExitProcess,
      .module_base = ModuleBase,
      .install_fault_handler = InstallFaultHandler,
      .remove_fault_handler = RemoveFaultHandler,
      .name_too_long = ENAMETOOLONG,
      .not_supported = EOPNOTSUPP,
  };
  return calls;
}

}  // namespace zub
