// The Win32 platform layer's process services, which its table hands out:
// the program's own path and command line, the exit, and the handler that
// reports a processor fault.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "runtime/platform_win32.h"
#include "runtime/platform_win32_path.h"
#include "runtime/platform_win32_process.h"

namespace zub::win32 {

PlatformCode ProgramPath(std::string* path) {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return LastError();
    if (length < buffer.size()) {
      buffer.resize(length);
      *path = std::move(buffer);
      return 0;
    }
    buffer.resize(buffer.size() * 2);  // cut short: try again with more room
  }
}

const char* CommandLine() { return ::GetCommandLineA(); }

// GetCommandLineA is made from the real command line, GetCommandLineW, with
// the system's best-fit mapping. It is taken only where it is exactly the
// real one in the code page the *A calls use.
PlatformCode CheckCommandLine() {
  std::string exact;
  if (!Narrow(::GetCommandLineW(), &exact)) return ERROR_NO_UNICODE_TRANSLATION;
  return exact == ::GetCommandLineA() ? 0 : ERROR_NO_UNICODE_TRANSLATION;
}

[[noreturn]] void EndProcessWith(std::uint32_t status) { ::ExitProcess(status); }

bool ModuleBase(const void* address, std::uintptr_t* base) {
  MEMORY_BASIC_INFORMATION region;
  if (::VirtualQuery(address, &region, sizeof region) == 0 || region.State != MEM_COMMIT) {
    return false;
  }
  *base = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
  return true;
}

namespace {

// Stack for reporting a fault, and kept back below the thread's stack for
// the handler's first steps after a stack overflow.
constexpr ULONG kFaultStack = 64 * 1024;

constexpr std::uint32_t kOtherFault = 255;

std::uint32_t FaultCodeForException(DWORD exception) {
  switch (exception) {
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return 200;
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return 201;
    case EXCEPTION_STACK_OVERFLOW:
      return 202;
    case EXCEPTION_FLT_OVERFLOW:
      return 205;
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
      return 206;
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
      return 207;
    case EXCEPTION_INT_OVERFLOW:
      return 215;
    case EXCEPTION_ACCESS_VIOLATION:
      return 216;
    case STATUS_CONTROL_C_EXIT:
      return 217;
    case EXCEPTION_PRIV_INSTRUCTION:
      return 218;
    default:
      return kOtherFault;
  }
}

// Fault handling. A vectored handler takes the faults of the table before
// any frame's handler sees them: the C run-time's start-up code would resume
// some of them (integer overflow, array bounds) where they happened, and the
// system's last filter ends a control-C exit before asking the program's.
// Any other exception that nothing handles reaches the top-level filter.
//
// The report is made on a fiber with a stack of its own: below an
// overflowing stack the system leaves only a few pages, too few for the
// ending sequence (Wine does not keep the guarantee asked for).
FaultHandler CurrentFaultHandler = nullptr;
PVOID VectoredHandler = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;
DWORD FaultThread = 0;        // the thread whose faults run on the fiber
LPVOID FaultFiber = nullptr;  // nullptr: reports run on the faulting stack
std::uint32_t FaultCode = 0;  // the fault being reported; 0: none
const void* FaultAddress = nullptr;

void CALLBACK RunFaultHandler(LPVOID /*parameter*/) {
  CurrentFaultHandler(FaultCode, FaultAddress);
  ::TerminateProcess(::GetCurrentProcess(), FaultCode);  // a handler that came back
}

LONG Report(const EXCEPTION_RECORD& record) {
  // A fault while one is being reported: no second report, and the first
  // code stays the exit status.
  if (FaultCode != 0) ::TerminateProcess(::GetCurrentProcess(), FaultCode);
  FaultCode = FaultCodeForException(record.ExceptionCode);
  FaultAddress = record.ExceptionAddress;
  if (FaultFiber != nullptr && ::GetCurrentThreadId() == FaultThread) {
    ::SwitchToFiber(FaultFiber);
  }
  RunFaultHandler(nullptr);
  return EXCEPTION_EXECUTE_HANDLER;  // not reached
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* pointers) {
  if (FaultCodeForException(pointers->ExceptionRecord->ExceptionCode) == kOtherFault) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return Report(*pointers->ExceptionRecord);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  return Report(*pointers->ExceptionRecord);
}

void PrepareFaultFiber() {
  if (FaultFiber != nullptr) return;
  if (::ConvertThreadToFiber(nullptr) == nullptr && ::GetLastError() != ERROR_ALREADY_FIBER) {
    return;
  }
  FaultThread = ::GetCurrentThreadId();
  FaultFiber = ::CreateFiber(kFaultStack, RunFaultHandler, nullptr);
}

}  // namespace

void InstallFaultHandler(FaultHandler handler) {
  ULONG guarantee = kFaultStack;
  ::SetThreadStackGuarantee(&guarantee);
  PrepareFaultFiber();
  CurrentFaultHandler = handler;
  FaultCode = 0;
  VectoredHandler = ::AddVectoredExceptionHandler(1, OnFault);
  PreviousFilter = ::SetUnhandledExceptionFilter(OnUnhandledException);
}

void RemoveFaultHandler() {
  ::SetUnhandledExceptionFilter(PreviousFilter);
  if (VectoredHandler != nullptr) ::RemoveVectoredExceptionHandler(VectoredHandler);
  VectoredHandler = nullptr;
}

}  // namespace zub::win32
