// A Windows program on the runtime layer, for the checks that zub.exe alone
// cannot reach: processor faults, the full exit code, the split command line,
// and a second process that holds a file open.
//
//   probe args ...            the command line, the program's path and the
//                             arguments as the runtime splits them
//   probe fault KIND          one fault; KIND: access, divide, overflow,
//                             stack, privileged, or an exception code in hex
//   probe fault-writing FILE  an access violation while FILE is written
//   probe abort CODE          AbortWithCode(CODE)
//   probe exit-code COMMAND   runs COMMAND, gives its full exit code
//   probe hold FILE           keeps FILE open for writing until stdin ends
//   probe hold-read FILE      the same, open for reading
//   probe hold-shared FILE    the same, open for reading, shared for writing
//                             but not for deletion or renaming
//   probe hold-during MS HOLD FILE COMMAND...
//                             holds FILE as `probe HOLD FILE` does while
//                             COMMAND runs, for MS milliseconds at most; says
//                             COMMAND's exit code, and whether it ended
//                             during the hold or after it
//   probe scan-during FOLDER COMMAND...
//                             holds each new .zub- file of FOLDER while
//                             COMMAND runs, as ScanDuring says
//   probe rewrite STEP FILE   rewrites FILE, adding a line, with one step of
//                             the rewrite changed: fail-write, fail-replace,
//                             fail-replace-named (no unnamed temporary file),
//                             fault and kill (in its sync), stuck (the old
//                             file moved away, the new one never moved),
//                             wait-named (before the replacement) and
//                             wait-held (in its in-place write) say
//                             "waiting" and wait until stdin ends;
//                             before-STEP (STEP: probe_write, create_unnamed,
//                             copy_metadata, replace, open_update) first
//                             tries to rename the held folder and says the
//                             code, then waits so, then takes the step;
//                             before-move does so where ReplaceFileW has
//                             failed, before the move that stands in for it
//   probe wait                the same wait, without a rewrite
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "runtime/platform_win32.h"
#include "runtime/process_frame.h"
#include "runtime/replacement.h"

namespace {

using zub::Argument;
using zub::CheckIo;

volatile int Zero = 0;
volatile int One = 1;
volatile int Lowest = INT32_MIN;
volatile int MinusOne = -1;
int* volatile Nowhere = nullptr;

void Say(const std::string& line) {
  zub::WriteLine(zub::ConsoleOut, line);
  CheckIo();
}

// Where a function lies, as an offset in the report's terms.
std::string OffsetOf(void (*function)()) {
  const auto base = reinterpret_cast<std::uintptr_t>(::GetModuleHandleA(nullptr));
  char digits[17];
  std::snprintf(digits, sizeof digits, "%08llX",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(function) - base));
  return digits;
}

[[gnu::noinline]] void AccessViolation() { *Nowhere = 1; }
[[gnu::noinline]] void DivideByZero() { Zero = One / Zero; }
[[gnu::noinline]] void DivideOverflow() { Zero = Lowest / MinusOne; }
[[gnu::noinline]] void PrivilegedInstruction() { asm volatile("hlt"); }

[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (Zero != 0) return depth;
  return Recurse(depth + 1) + frame[0];
}

void Fault(const std::string& kind) {
  const std::pair<std::string, void (*)()> faulting[] = {{"access", AccessViolation},
                                                         {"divide", DivideByZero},
                                                         {"overflow", DivideOverflow},
                                                         {"privileged", PrivilegedInstruction}};
  for (const auto& [name, function] : faulting) {
    if (kind != name) continue;
    Say("function " + OffsetOf(function));
    return function();
  }
  if (kind == "stack") {
    Recurse(0);
  } else {
    ::RaiseException(static_cast<DWORD>(std::strtoul(kind.c_str(), nullptr, 16)), 0, 0, nullptr);
  }
}

void FaultWhileWriting(const std::string& name) {
  static zub::LineFile file;
  zub::Bind(file, name);
  zub::OpenWrite(file);
  CheckIo();
  zub::EnterProtectedBlock(file);
  zub::WriteLine(file, "written before the fault");
  CheckIo();
  AccessViolation();
}

// FILE open as another program holds it: for writing, for reading, or for
// reading and shared for writing.
HANDLE Held(const std::string& how, const std::string& name) {
  const DWORD access = how == "hold" ? GENERIC_WRITE : GENERIC_READ;
  const DWORD share = how == "hold-shared" ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
  HANDLE file = ::CreateFileA(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) zub::AbortWithCode(::GetLastError(), nullptr);
  return file;
}

// Straight out, past the buffer: the parent waits for these lines.
void SayNow(const std::string& line) {
  const std::string text = line + "\r\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

// Says `word`, then waits until stdin ends.
void Wait(const std::string& word = "waiting") {
  SayNow(word);
  while (zub::ReadChar(zub::ConsoleIn) != zub::kEndMarker) {
  }
}

// The command of the arguments from the `first`-th on, started with the
// probe's standard handles.
PROCESS_INFORMATION Start(std::int32_t first) {
  std::string command;
  for (std::int32_t i = first; i <= zub::ArgumentCount(); ++i) command += '"' + Argument(i) + "\" ";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = startup.hStdError = ::GetStdHandle(STD_OUTPUT_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
    zub::AbortWithCode(::GetLastError(), nullptr);
  }
  return process;
}

// "exit code N", once `process` has ended with N.
std::string ExitCode(HANDLE process) {
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  return "exit code " + std::to_string(code);
}

void HoldDuring(DWORD milliseconds, const std::string& how, const std::string& name) {
  HANDLE file = Held(how, name);
  const PROCESS_INFORMATION process = Start(5);
  const bool during = ::WaitForSingleObject(process.hProcess, milliseconds) == WAIT_OBJECT_0;
  ::CloseHandle(file);
  SayNow(ExitCode(process.hProcess) + (during ? " during the hold" : " after the hold"));
}

// As a virus scanner does: opens every new .zub- file in `folder` once, when
// it first sees it (a temporary file being written cannot be), without
// sharing it for deletion; holds it until the command ends, says how many.
void ScanDuring(const std::string& folder) {
  const PROCESS_INFORMATION process = Start(3);
  std::vector<std::string> seen;
  std::vector<HANDLE> held;
  while (::WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
    WIN32_FIND_DATAA found;
    HANDLE search = ::FindFirstFileA((folder + "\\.zub-*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileA(search, &found)) {
      if (std::find(seen.begin(), seen.end(), found.cFileName) != seen.end()) continue;
      seen.emplace_back(found.cFileName);
      HANDLE file = ::CreateFileA((folder + '\\' + found.cFileName).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) held.push_back(file);
    }
    if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  }
  for (HANDLE file : held) ::CloseHandle(file);
  SayNow(ExitCode(process.hProcess) + ", held " + std::to_string(held.size()));
}

// What another program may try while a rewrite holds the folder of its
// file: renaming the folder (its code is said), and, while the probe waits,
// anything its parent does.
void Meddle(const zub::FilePlace& place) {
  const std::string moved = place.folder_path + ".renamed";
  const bool renamed = ::MoveFileExA(place.folder_path.c_str(), moved.c_str(), 0) != FALSE;
  SayNow("folder rename " + std::to_string(renamed ? 0 : ::GetLastError()));
  if (renamed) ::MoveFileExA(moved.c_str(), place.folder_path.c_str(), 0);
  Wait();
}

// Has the platform call `member` wait (Wait), or meddle (Meddle, with the
// place it is given), before the native call.
template <auto member, bool meddle>
void Before() {
  zub::Sys.*member = [](auto first, auto... rest) {
    if constexpr (meddle) {
      Meddle(first);
    } else {
      Wait();
    }
    return (zub::NativeCalls().*member)(first, rest...);
  };
}

// The step of the rewrite that goes another way.
void Change(const std::string& step) {
  using Calls = zub::PlatformCalls;
  const std::pair<std::string, void (*)()> delayed[] = {
      {"wait-named", Before<&Calls::replace, false>},
      {"wait-held", Before<&Calls::write_at, false>},
      {"before-probe_write", Before<&Calls::probe_write, true>},
      {"before-create_unnamed", Before<&Calls::create_unnamed, true>},
      {"before-copy_metadata", Before<&Calls::copy_metadata, true>},
      {"before-replace", Before<&Calls::replace, true>},
      {"before-open_update", Before<&Calls::open_update, true>},
  };
  for (const auto& [name, delay] : delayed) {
    if (step == name) delay();
  }
  if (step == "fail-write") {
    zub::Sys.write = [](auto...) { return zub::PlatformCode{29}; };
  } else if (step == "fail-replace" || step == "fail-replace-named") {
    zub::Sys.replace = [](auto...) { return zub::PlatformCode{29}; };
    if (step == "fail-replace-named") {
      zub::Sys.create_unnamed = [](auto...) { return zub::Sys.not_supported; };
    }
  } else if (step == "fault") {
    zub::Sys.sync = [](zub::Handle) -> zub::PlatformCode {
      AccessViolation();
      return 0;
    };
  } else if (step == "kill") {
    zub::Sys.sync = [](zub::Handle) -> zub::PlatformCode {
      ::TerminateProcess(::GetCurrentProcess(), 9);
      return 0;
    };
  } else if (step == "stuck") {
    static std::wstring replacement;
    zub::Win32.replace_file = [](LPCWSTR replaced, LPCWSTR new_file, LPCWSTR backup) -> BOOL {
      replacement = new_file;
      if (zub::NativeWin32Calls().move_file(replaced, backup, 0)) {
        ::SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
      }
      return FALSE;
    };
    zub::Win32.move_file = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
      if (replacement != from) return zub::NativeWin32Calls().move_file(from, to, flags);
      ::SetLastError(ERROR_SHARING_VIOLATION);
      return FALSE;
    };
  } else if (step == "before-move") {
    static zub::FilePlace replaced;
    zub::Sys.replace = [](const zub::FilePlace& place, const zub::TemporaryFile& file) {
      replaced = place;
      return zub::NativeCalls().replace(place, file);
    };
    zub::Win32.replace_file = [](LPCWSTR, LPCWSTR, LPCWSTR) {
      Meddle(replaced);
      ::SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
      return FALSE;
    };
  }
}

void Rewrite(const std::string& step, const std::string& name) {
  static zub::LineFile file;
  zub::Bind(file, name);
  zub::OpenForRewrite(file);
  CheckIo();
  std::vector<std::string> lines;
  while (!zub::AtEnd(file)) {
    zub::ReadLine(file, lines.emplace_back());
    CheckIo();
  }
  lines.emplace_back("rewritten");
  Change(step);
  zub::RewriteFile(file, lines);
  CheckIo();
  Say("rewritten");
}

}  // namespace

int main(int argc, char** argv) {
  zub::StartProcessFrame(argc, argv);
  const std::string command = Argument(1);
  if (command == "args") {
    Say("line " + std::string(::GetCommandLineA()));
    Say("program " + Argument(0));
    for (std::int32_t i = 2; i <= zub::ArgumentCount(); ++i) Say("[" + Argument(i) + "]");
  } else if (command == "fault") {
    Fault(Argument(2));
  } else if (command == "fault-writing") {
    FaultWhileWriting(Argument(2));
  } else if (command == "abort") {
    zub::AbortWithCode(static_cast<std::uint32_t>(std::strtoul(Argument(2).c_str(), nullptr, 10)),
                       nullptr);
  } else if (command == "exit-code") {
    Say(ExitCode(Start(2).hProcess));
  } else if (command == "hold" || command == "hold-read" || command == "hold-shared") {
    const HANDLE file = Held(command, Argument(2));
    Wait("holding");
    ::CloseHandle(file);
  } else if (command == "hold-during") {
    HoldDuring(static_cast<DWORD>(std::strtoul(Argument(2).c_str(), nullptr, 10)), Argument(3),
               Argument(4));
  } else if (command == "scan-during") {
    ScanDuring(Argument(2));
  } else if (command == "rewrite") {
    Rewrite(Argument(2), Argument(3));
  } else if (command == "wait") {
    Wait();
  }
  zub::EndProcess();
}
