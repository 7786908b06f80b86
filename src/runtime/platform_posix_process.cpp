// The POSIX platform layer's process services: the program's own path and
// command line, the exit, and the handler that reports a processor fault.
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>

#include "runtime/platform_posix.h"
#include "runtime/platform_posix_process.h"

// The ELF header of a statically linked program, where dladdr knows nothing.
extern "C" const char __ehdr_start[] __attribute__((weak));  // NOLINT

namespace zub {

namespace {

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

}  // namespace

namespace posix {

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

void InstallFaultHandler(FaultHandler handler) {
  // A write to a pipe whose reader has gone, or past the file size limit,
  // is an ordinary failed write.
  (void)::signal(SIGPIPE, SIG_IGN);
  (void)::signal(SIGXFSZ, SIG_IGN);

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

}  // namespace posix

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

}  // namespace zub
