// The tests' host on Windows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/platform_win32.h"
#include "support/host.h"

namespace zub::testing::host {

namespace {

constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr char kJobVariable[] = "ZUB_TEST_JOB";
constexpr char kInterruptJob[] = "interrupt";
// A file that a child makes when it raises an interrupt: Wine's default
// handling of Ctrl+Break ends a process with status 0, which alone does
// not tell an interrupted child from one that ended well.
constexpr wchar_t kRaisedVariable[] = L"ZUB_TEST_RAISED";

// A call the tests cannot do without has failed.
[[noreturn]] void Fail(const char* call) {
  std::fprintf(stderr, "%s failed: %lu\n", call, ::GetLastError());
  std::abort();
}

// The user this process runs as, as a SID string.
std::wstring UserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) Fail("OpenProcessToken");
  std::vector<char> user(256);
  DWORD size = 0;
  if (!::GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()),
                             &size)) {
    Fail("GetTokenInformation");
  }
  ::CloseHandle(token);
  wchar_t* text = nullptr;
  ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text);
  std::wstring sid = text;
  ::LocalFree(text);
  return sid;
}

// The exit status of a process that an interrupt ends by the default
// handling, as a child shows it.
std::uint32_t InterruptStatus() {
  static const std::uint32_t status = RunChild(nullptr, kInterruptJob).status;
  return status;
}

HANDLE Interrupt = nullptr;  // the thread of a raised interrupt

}  // namespace

const Codes kCodes = {ERROR_FILE_NOT_FOUND,   ERROR_IO_DEVICE,     ERROR_DISK_FULL,
                      ERROR_HANDLE_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE};
const char* const kNullDevice = "NUL";

std::filesystem::path MakeTempFolder() {
  std::random_device random;
  for (;;) {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("zub-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(folder)) return folder;
  }
}

Handle OpenFile(const std::filesystem::path& path, bool write) {
  return reinterpret_cast<Handle>(::CreateFileW(
      path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void CloseFile(Handle handle) { ::CloseHandle(reinterpret_cast<HANDLE>(handle)); }

void MakePipe(Handle* read_end, Handle* write_end) {
  HANDLE ends[2] = {};
  if (!::CreatePipe(&ends[0], &ends[1], nullptr, 0)) Fail("CreatePipe");
  *read_end = reinterpret_cast<Handle>(ends[0]);
  *write_end = reinterpret_cast<Handle>(ends[1]);
}

Handle NoHandle() { return 0; }

// An explicit, protected DACL (the user alone, and nobody else, may use the
// file), and the hidden attribute.
void GiveMetadata(const std::filesystem::path& path, bool /*attribute*/) {
  const std::wstring sddl = L"D:P(A;;FA;;;" + UserSid() + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    Fail("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  ::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                     descriptor);
  ::LocalFree(descriptor);
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
}

std::string MetadataOf(const std::filesystem::path& path) {
  constexpr SECURITY_INFORMATION kParts =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  std::vector<char> descriptor(4096);
  DWORD size = 0;
  if (!::GetFileSecurityW(path.c_str(), kParts, descriptor.data(),
                          static_cast<DWORD>(descriptor.size()), &size)) {
    return "missing";
  }
  char* sddl = nullptr;
  ::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1, kParts,
                                                         &sddl, nullptr);
  std::string text = sddl;
  ::LocalFree(sddl);
  return text + " attributes " +
         std::to_string(::GetFileAttributesW(path.c_str()) & kKeptAttributes);
}

// This program again, its output to NUL, the job in the environment.
ChildEnd RunChild(ChildBody /*body: main hands the job to it*/, const std::string& job) {
  std::wstring program(MAX_PATH, L'\0');
  program.resize(::GetModuleFileNameW(nullptr, program.data(), MAX_PATH));
  std::wstring line = L"\"" + program + L"\"";
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE nul =
      ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process = {};
  ::SetEnvironmentVariableA(kJobVariable, job.c_str());
  const std::wstring raised = (std::filesystem::temp_directory_path() /
                               ("zub-raised-" + std::to_string(::GetCurrentProcessId())))
                                  .wstring();
  ::DeleteFileW(raised.c_str());
  ::SetEnvironmentVariableW(kRaisedVariable, raised.c_str());
  // Under Wine on a loaded machine a start has failed now and then (the
  // child never ran): it is tried a few times before the tests give up.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 10 && !started; ++attempt) {
    if (attempt > 0) ::Sleep(200);
    started = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &process);
  }
  ::SetEnvironmentVariableA(kJobVariable, nullptr);
  ::SetEnvironmentVariableW(kRaisedVariable, nullptr);
  ::CloseHandle(nul);
  if (!started) Fail("CreateProcessW");
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  const bool interrupt = ::DeleteFileW(raised.c_str()) != FALSE;
  return {job != kInterruptJob && interrupt && code == InterruptStatus(), code};
}

bool RunAsChild(ChildBody body) {
  char job[4096];
  const DWORD length = ::GetEnvironmentVariableA(kJobVariable, job, sizeof job);
  if (length == 0 || length >= sizeof job) return false;
  if (std::string(job) == kInterruptJob) {
    RaiseInterrupt(false);
    std::abort();  // an interrupt that did not end the process
  }
  body(job);
  return true;
}

// The system delivers a console event by starting its control routine on a
// new thread of the process, as here; the handlers run there.
const int kInterruptKinds = 1;

namespace {

// What SetFileInformationByHandle refuses, as a file system without
// delete-on-close (FAT on older systems, some network shares) or without
// reservations (Wine) refuses it.
bool NoDeleteOnClose = false;
bool NoAllocation = false;

BOOL SetInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size) {
  if ((kind == FileDispositionInfo && NoDeleteOnClose &&
       static_cast<FILE_DISPOSITION_INFO*>(information)->DeleteFile) ||
      (kind == FileAllocationInfo && NoAllocation)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return NativeWin32Calls().set_information(file, kind, information, size);
}

// Pauses in a wait for a hold take no time; a wait that does not end is
// stopped.
DWORD Paused = 0;
void QuickPause(DWORD milliseconds) {
  Paused += milliseconds;
  if (Paused > 10000) {
    std::fputs("a wait for a hold that does not end\n", stderr);
    std::abort();
  }
}

// ReplaceFileW as it fails with ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the
// replaced file has the backup name, the replacement its own.
BOOL MoveAwayAndFail(LPCWSTR replaced, LPCWSTR /*replacement*/, LPCWSTR backup) {
  if (!NativeWin32Calls().move_file(replaced, backup, MOVEFILE_REPLACE_EXISTING)) return FALSE;
  ::SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
  return FALSE;
}

// Holds: what is planned for each call, the tries it has made, and the
// calls below the holds.
Hold Plans[kHeldCalls] = {};
int Tries[kHeldCalls] = {};
Win32Calls Under;
std::wstring Backup;  // the name the replaced file is given

bool HeldNow(HeldCall call) {
  const auto index = static_cast<std::size_t>(call);
  if (Tries[index]++ >= Plans[index].times) return false;
  ::SetLastError(static_cast<DWORD>(Plans[index].code));
  return true;
}

HANDLE HeldOpen(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  const std::string_view path = name;
  const bool held = path.ends_with("log.001")
                        ? HeldNow(HeldCall::kOpenLog)
                        : path.ends_with("InBetween.ini") && HeldNow(HeldCall::kReadSettings);
  return held ? INVALID_HANDLE_VALUE : Under.open_file(name, access, share, disposition, flags);
}

HANDLE HeldCreate(LPCWSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (std::wstring_view(name).ends_with(L"\\InBetween.ini") &&
      ((access & GENERIC_WRITE) != 0
           ? HeldNow(HeldCall::kWriteSettings)
           : (access & DELETE) != 0 && HeldNow(HeldCall::kDeleteSettings))) {
    return INVALID_HANDLE_VALUE;
  }
  return Under.create_file(name, access, share, disposition, flags);
}

// What ShowLinks makes the layer see, by full path.
struct SeenAt {
  std::wstring path;
  bool link;
  int owner;
  std::wstring leads_to;
};
std::vector<SeenAt> SeenPaths;

std::wstring Full(const std::filesystem::path& path) {
  wchar_t full[4096];
  const DWORD length = ::GetFullPathNameW(path.c_str(), 4096, full, nullptr);
  return L"\\\\?\\" + std::wstring(full, length);
}

// The owner `owner` stands for, beside the runner's own `runner`.
std::vector<std::byte> OwnerSid(int owner, const std::vector<std::byte>& runner) {
  if (owner <= 0) return owner == 0 ? runner : std::vector<std::byte>{};
  PSID sid = nullptr;
  const std::wstring text = L"S-1-5-21-1-2-3-100" + std::to_wstring(owner);
  if (!::ConvertStringSidToSidW(text.c_str(), &sid)) Fail("ConvertStringSidToSidW");
  const auto* bytes = static_cast<const std::byte*>(sid);
  std::vector<std::byte> other(bytes, bytes + ::GetLengthSid(sid));
  ::LocalFree(sid);
  return other;
}

const SeenAt* SeenFor(LPCWSTR path) {
  for (const SeenAt& seen : SeenPaths) {
    if (::CompareStringOrdinal(path, -1, seen.path.c_str(), -1, TRUE) == CSTR_EQUAL) return &seen;
  }
  return nullptr;
}

bool SeenLook(LPCWSTR path, bool follow, PathLook* look) {
  const SeenAt* seen = SeenFor(path);
  if (seen != nullptr && follow && seen->link) {
    path = seen->leads_to.c_str();
    seen = SeenFor(path);
  }
  if (!NativeWin32Calls().look(path, follow, look)) return false;
  if (seen != nullptr) {
    look->link = seen->link && !follow;
    look->owner = OwnerSid(seen->owner, look->owner);
  }
  return true;
}

}  // namespace

bool CanShowLinks() { return true; }

bool CanMakeLinks() {
  static const bool can = [] {
    const std::filesystem::path folder = MakeTempFolder();
    std::error_code refused;
    std::filesystem::create_symlink("target", folder / "link", refused);
    const bool made = !refused && std::filesystem::is_symlink(folder / "link", refused);
    std::filesystem::remove_all(folder, refused);
    return made;
  }();
  return can;
}

void ShowLinks(const std::filesystem::path& root, const std::vector<Seen>& seen) {
  SeenPaths.clear();
  for (const Seen& entry : seen) {
    SeenPaths.push_back({Full(root / entry.path), entry.link, entry.owner,
                         entry.leads_to == nullptr ? L"" : Full(root / entry.leads_to)});
  }
  Win32.look = SeenLook;
}

bool CanInjectHolds() { return true; }

void InjectHold(const Hold& hold) {
  static bool wrapped = false;
  if (!std::exchange(wrapped, true)) {
    Under = Win32;
    Win32.open_file = HeldOpen;
    Win32.create_file = HeldCreate;
    Win32.replace_file = [](LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup) -> BOOL {
      Backup = backup;
      return !HeldNow(HeldCall::kReplaceFile) && Under.replace_file(replaced, replacement, backup);
    };
    Win32.move_file = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
      return !HeldNow(HeldCall::kMoveFile) && Under.move_file(from, to, flags);
    };
    Win32.delete_file = [](LPCWSTR name) -> BOOL {
      return !HeldNow(Backup == name ? HeldCall::kRemoveOld : HeldCall::kRemove) &&
             Under.delete_file(name);
    };
    Win32.pause = QuickPause;
  }
  Plans[static_cast<std::size_t>(hold.call)] = hold;
  Tries[static_cast<std::size_t>(hold.call)] = 0;
}

bool CanInjectSystemFault(SystemFault fault) {
  return fault == SystemFault::kNoUnnamedFiles || fault == SystemFault::kNoReservation ||
         fault == SystemFault::kTakenName || fault == SystemFault::kNoReplacement ||
         fault == SystemFault::kNoFolderSync || fault == SystemFault::kHighFileIndex ||
         fault == SystemFault::kMovedAway;
}

bool InjectSystemFault(SystemFault fault) {
  if (!CanInjectSystemFault(fault)) return false;
  switch (fault) {
    case SystemFault::kNoUnnamedFiles:
      NoDeleteOnClose = true;
      Win32.set_information = SetInformation;
      return true;
    case SystemFault::kNoReservation:
      NoAllocation = true;
      Win32.set_information = SetInformation;
      return true;
    case SystemFault::kTakenName:
      Win32.random = [](void* bits, std::size_t size) {
        return TakenNameBits(bits, size) || NativeWin32Calls().random(bits, size);
      };
      return true;
    case SystemFault::kNoReplacement:
      // The replacement could not take the replaced file's name; both are
      // as they were, and a plain move is left.
      Win32.replace_file = [](LPCWSTR, LPCWSTR, LPCWSTR) {
        ::SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
        return FALSE;
      };
      return true;
    case SystemFault::kNoFolderSync:
      Win32.flush = [](HANDLE file) {
        BY_HANDLE_FILE_INFORMATION information = {};
        if (::GetFileInformationByHandle(file, &information) &&
            (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          ::SetLastError(ERROR_INVALID_FUNCTION);
          return FALSE;
        }
        return NativeWin32Calls().flush(file);
      };
      return true;
    case SystemFault::kHighFileIndex:
      Win32.file_information = [](HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
        if (!NativeWin32Calls().file_information(file, information)) return FALSE;
        std::swap(information->nFileIndexHigh, information->nFileIndexLow);
        return TRUE;
      };
      return true;
    case SystemFault::kMovedAway:
      Win32.replace_file = MoveAwayAndFail;
      return true;
    default:
      return false;  // no such way here
  }
}

bool IgnoreInterrupt(int /*kind*/) { return false; }

bool CanIgnoreInterrupts() { return false; }

void RaiseInterrupt(bool held, int /*kind*/) {
  wchar_t raised[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(kRaisedVariable, raised, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    ::CloseHandle(::CreateFileW(raised, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  }
  const FARPROC routine = ::GetProcAddress(::GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
  if (routine == nullptr) Fail("GetProcAddress(CtrlRoutine)");
  Interrupt = ::CreateThread(
      nullptr, 0, std::bit_cast<LPTHREAD_START_ROUTINE>(routine),
      reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(CTRL_BREAK_EVENT)), 0, nullptr);
  if (!held) AfterHold();
}

void AfterHold() {
  if (Interrupt != nullptr) ::WaitForSingleObject(Interrupt, INFINITE);
}

}  // namespace zub::testing::host
