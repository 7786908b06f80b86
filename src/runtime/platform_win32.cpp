// The Win32 platform layer's base: the system calls that the layer tells
// apart, in a table of its own (Win32Calls), and what its files share: the
// codes, the calls tried again while another program holds a file, and the
// mutex that runs take turns by. The platform code is GetLastError.
//
// Names are bytes in the process's code page and go to the *A calls as they
// are. The manifest compiled into zub.exe makes that code page UTF-8 where
// the system honours it (Windows 10 version 1903 on); elsewhere it is the
// system's ANSI code page, which holds only some of the characters a name
// may have.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <cstddef>

#include "runtime/platform.h"
#include "runtime/platform_win32.h"

namespace zub {

namespace win32 {

HANDLE Native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

PlatformCode LastError() { return static_cast<PlatformCode>(::GetLastError()); }

// The codes of a file system or a system that lacks a call.
bool Unsupported(PlatformCode code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION ||
         code == ERROR_NOT_SUPPORTED || code == ERROR_CALL_NOT_IMPLEMENTED;
}

// Another program that opens a file for a moment right after it was
// written or closed (a virus scanner, the search indexer, a backup or sync
// client) lets go within tens to a few hundred milliseconds. Until then an
// open meets a sharing or lock violation; a rename over the file, or its
// removal, also ERROR_ACCESS_DENIED, and ReplaceFileW also
// ERROR_UNABLE_TO_REMOVE_REPLACED.
bool Held(PlatformCode code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

bool HeldOrRefused(PlatformCode code) {
  return Held(code) || code == ERROR_ACCESS_DENIED || code == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

namespace {

// Another run's replacement moves the old file to a backup name before the
// new one takes the name: for that moment the name leads nowhere. A run owns
// this mutex while a name of its own may be missing so, and a name found
// missing is looked for once more while owning it, when no run is half way
// through a replacement. A run that cannot have the mutex goes without it.
constexpr wchar_t kReplacementMutex[] = L"Local\\zub-replacement";
// Longer than a replacement that waits out holds takes.
constexpr DWORD kReplacementWait = 5000;

}  // namespace

// Owns the mutex `name` once no other process does, waiting up to `wait`
// ms: WAIT_OBJECT_0 (a process that ended owning it counts as none), else
// WAIT_TIMEOUT, or WAIT_FAILED where it cannot be had. `*mutex` is set
// only where it is owned.
DWORD Own(const wchar_t* name, DWORD wait, HANDLE* mutex) {
  HANDLE made = ::CreateMutexW(nullptr, FALSE, name);
  if (made == nullptr) return WAIT_FAILED;
  const DWORD waited = ::WaitForSingleObject(made, wait);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    *mutex = made;
    return WAIT_OBJECT_0;
  }
  ::CloseHandle(made);
  return waited;
}

void EndTurn(HANDLE mutex) {
  if (mutex == nullptr) return;
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
}

HANDLE ReplacementTurn() {
  HANDLE mutex = nullptr;
  (void)Own(kReplacementMutex, kReplacementWait, &mutex);
  return mutex;
}

}  // namespace win32

const Win32Calls& NativeWin32Calls() {
  static const Win32Calls calls = {
      .replace_file =
          [](LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup) {
            return ::ReplaceFileW(replaced, replacement, backup, 0, nullptr, nullptr);
          },
      .move_file = ::MoveFileExW,
      .delete_file = ::DeleteFileW,
      .open_file =
          [](LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
            return ::CreateFileA(name, access, share, nullptr, disposition, attributes, nullptr);
          },
      .set_information = ::SetFileInformationByHandle,
      .create_file =
          [](LPCWSTR name, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
            return ::CreateFileW(name, access, share, nullptr, disposition, attributes, nullptr);
          },
      .file_information = ::GetFileInformationByHandle,
      .flush = ::FlushFileBuffers,
      .random =
          [](void* bits, std::size_t size) {
            return BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(bits),
                                                    static_cast<ULONG>(size),
                                                    BCRYPT_USE_SYSTEM_PREFERRED_RNG));
          },
      .pause = ::Sleep,
      .look = win32::LookAt,
  };
  return calls;
}

Win32Calls Win32 = NativeWin32Calls();

}  // namespace zub
