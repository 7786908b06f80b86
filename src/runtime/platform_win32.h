// What the Win32 platform layer shows of itself beyond the common table.
#ifndef ZUB_RUNTIME_PLATFORM_WIN32_H_
#define ZUB_RUNTIME_PLATFORM_WIN32_H_

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "runtime/platform.h"

namespace zub {

// What stands at a path, as a step through it is judged: whether it is a
// link (a symbolic link or a junction: a reparse point that stands for
// another name), its owner (empty where it may not be read), and, where
// links are followed, the path it finally leads to ("\\?\C:\...").
struct PathLook {
  bool link = false;
  std::vector<std::byte> owner;
  std::wstring final_path;
};

// The system calls of this layer whose outcomes it tells apart, beyond
// success and a code to hand on: where one fails in a certain way, the
// layer takes another way (a file system without delete-on-close or
// reservations, a ReplaceFileW that cannot replace; a name already taken;
// a file that another program holds for a moment). Tests change entries to
// reach each of those ways on any system, Wine included. Each gives what
// the call gives, and leaves the code for GetLastError on failure.
struct Win32Calls {
  // ReplaceFileW with a backup name, without flags or reserved arguments.
  BOOL (*replace_file)(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup);
  BOOL (*move_file)(LPCWSTR from, LPCWSTR to, DWORD flags);  // MoveFileExW
  BOOL (*delete_file)(LPCWSTR name);                         // DeleteFileW
  // CreateFileA, for the names the runtime hands over as they are.
  HANDLE (*open_file)(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
  // SetFileInformationByHandle: FileDispositionInfo, FileAllocationInfo,
  // FileEndOfFileInfo.
  BOOL (*set_information)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size);
  // CreateFileW, for a temporary file and for the file of a place: no
  // security attributes, no template.
  HANDLE (*create_file)(LPCWSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
  // GetFileInformationByHandle: what an open file is known by.
  BOOL (*file_information)(HANDLE file, BY_HANDLE_FILE_INFORMATION* information);
  // FlushFileBuffers, of files and of folders.
  BOOL (*flush)(HANDLE file);
  // The random bits of temporary files' names; false where none can be had.
  bool (*random)(void* bits, std::size_t size);
  // Sleep: the pauses while another program holds a file.
  void (*pause)(DWORD milliseconds);
  // What stands at `path`, a link as itself or, with `follow`, what it
  // leads to; false, with the code for GetLastError, where nothing can be
  // opened there.
  bool (*look)(LPCWSTR path, bool follow, PathLook* look);
};

// The pauses between tries of a call that another program holds a file
// from: 2, 4, ... 512 ms, about one second in all.
inline constexpr DWORD kFirstPause = 2;
inline constexpr DWORD kLastPause = 512;

// The table in use. Starts as the native one.
extern Win32Calls Win32;
const Win32Calls& NativeWin32Calls();

}  // namespace zub

// What the layer's files share.
namespace zub::win32 {

// The name of a file that is being rewritten leads to another file now: the
// file the name was opened for "is no longer valid".
inline constexpr PlatformCode kMoved = ERROR_FILE_INVALID;

HANDLE Native(Handle handle);
PlatformCode LastError();
// The codes of a file system or a system that lacks a call.
bool Unsupported(PlatformCode code);
// The codes of a call that another program holds a file from for a moment:
// of an open, and of a rename, a removal or a replacement.
bool Held(PlatformCode code);
bool HeldOrRefused(PlatformCode code);

// Runs `attempt` again while it fails with a code that `held` takes for
// such a hold, and gives its last code: a hold that lasts is refused as it
// would have been at once.
template <typename Attempt>
PlatformCode AfterHolds(Attempt attempt, bool (*held)(PlatformCode) = HeldOrRefused) {
  PlatformCode code = attempt();
  for (DWORD pause = kFirstPause; code != 0 && held(code) && pause <= kLastPause; pause *= 2) {
    Win32.pause(pause);
    code = attempt();
  }
  return code;
}

// Owns the mutex `name` once no other process does, waiting up to `wait`
// ms: WAIT_OBJECT_0, else WAIT_TIMEOUT, or WAIT_FAILED. `*mutex` is set only
// where it is owned.
DWORD Own(const wchar_t* name, DWORD wait, HANDLE* mutex);
// Lets go of a mutex that Own gave, if any.
void EndTurn(HANDLE mutex);
// The replacement mutex, owned once no run is half way through a
// replacement; null where it cannot be had.
HANDLE ReplacementTurn();

// Runs `attempt` once more, owning the replacement mutex, where it found no
// file: a file that is missing then is missing indeed.
template <typename Attempt>
PlatformCode NotBetweenNames(Attempt attempt) {
  PlatformCode code = attempt();
  if (code != ERROR_FILE_NOT_FOUND) return code;
  HANDLE turn = ReplacementTurn();
  code = attempt();
  EndTurn(turn);
  return code;
}

// Win32Calls::look as the system answers it (the layer's paths).
bool LookAt(LPCWSTR path, bool follow, PathLook* look);

}  // namespace zub::win32

#endif  // ZUB_RUNTIME_PLATFORM_WIN32_H_
