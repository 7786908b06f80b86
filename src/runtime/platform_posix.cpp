// The platform layer on POSIX systems. The platform code is errno.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

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

PlatformCode CreateTemporary(const char* model, std::string* name, Handle* handle) {
  struct stat status;
  if (::stat(model, &status) != 0) return errno;
  const mode_t mode = status.st_mode & 07777;
  const std::string prefix = FolderOf(model) + "/.zub-" + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = prefix + std::to_string(attempt) + ".tmp";
    PlatformCode code = OpenWith(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600, handle);
    if (code == EEXIST) continue;
    if (code != 0) return code;
    // The owner may be set only by a privileged process; the bits after it,
    // since a change of owner clears the set-id bits.
    (void)::fchown(Fd(*handle), status.st_uid, status.st_gid);
    if (::fchmod(Fd(*handle), mode) != 0) {
      code = errno;
      ::close(Fd(*handle));
      ::unlink(candidate.c_str());
      return code;
    }
    *name = std::move(candidate);
    return 0;
  }
  return EEXIST;
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
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t count = ::write(Fd(handle), bytes, size);
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (count == 0) return ENOSPC;
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  return 0;
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

PlatformCode Replace(const char* from, const char* to) {
  if (::rename(from, to) != 0) return errno;
  // Make the new directory entry durable. Some file systems cannot sync a
  // folder; the file is in place by now, so this is done as well as it can.
  Handle folder = 0;
  if (OpenWith(FolderOf(to).c_str(), O_RDONLY | O_DIRECTORY, 0, &folder) == 0) {
    ::fsync(Fd(folder));
    ::close(Fd(folder));
  }
  return 0;
}

PlatformCode Remove(const char* name) { return ::unlink(name) == 0 ? 0 : errno; }

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
      .probe_write = ProbeWrite,
      .create_temporary = CreateTemporary,
      .std_handle = StdHandle,
      .file_type = TypeOf,
      .read = Read,
      .write = Write,
      .sync = SyncFile,
      .close = CloseFile,
      .resolve = Resolve,
      .replace = Replace,
      .remove = Remove,
      .program_path = ProgramPath,
      .command_line = CommandLine,
      .check_command_line = CheckCommandLine,
      .exit_process = ExitProcess,
      .module_base = ModuleBase,
      .install_fault_handler = InstallFaultHandler,
      .remove_fault_handler = RemoveFaultHandler,
      .name_too_long = ENAMETOOLONG,
      .access_denied = EACCES,
  };
  return calls;
}

}  // namespace zub
