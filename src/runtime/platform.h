// The narrow platform layer under the runtime.
//
// Every call the runtime makes into the operating system goes through the
// table `Sys`. One implementation file per platform fills `NativeCalls()`;
// tests copy the table and swap entries, for example to make the N-th call
// fail with a chosen code, or to turn the process exit into something a test
// can observe.
//
// The calls that can fail are listed once, in platform_calls.h.
#ifndef ZUB_RUNTIME_PLATFORM_H_
#define ZUB_RUNTIME_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/platform_calls.h"

namespace zub {

using Handle = std::intptr_t;
using PlatformCode = std::int32_t;

enum class FileType { kUnknown, kDisk, kChar, kPipe };
enum class StdStream { kInput, kOutput };

// Called by the platform's fault handler with the runtime code for the fault
// and the address of the faulting instruction. Never returns.
using FaultHandler = void (*)(std::uint32_t code, const void* address);

// What the system knows a file by, whatever names it has: device and inode
// on POSIX, volume serial number and file index on Windows.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};

// What a file looked like when it was read, beyond which file it is. A file
// system that copies a file to a new one at its first write (an overlay, as
// in containers) gives the copy the same length, time of last change, owner
// and mode: the new file is the old one's copy, not another file swapped in.
struct FileLooks {
  std::uint64_t length = 0;
  std::int64_t changed = 0;  // nanoseconds
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint32_t mode = 0;
  bool operator==(const FileLooks&) const = default;
};

inline constexpr Handle kNoFolder = -1;

// Where a file that has been read stands, found once: the folder that holds
// it, held open, and the file's name in that folder. Every later step of a
// rewrite goes through the open folder, and checks that the name still
// leads to the file that was read, so that nobody who swaps a name on the
// path meanwhile can steer the rewrite onto another file.
struct FilePlace {
  // kNoFolder for a device or a pipe on a platform that names those apart
  // from any folder (Windows): there the name is all there is.
  Handle folder = 0;
  // The folder's whole path, for a platform that names files by whole
  // paths only; that platform keeps the folder from being renamed while it
  // holds it.
  std::string folder_path;
  std::string name;
  FileId file;
  FileLooks looks;
};

// A temporary file beside the file it is to replace.
struct TemporaryFile {
  Handle handle = 0;
  // Its name in the folder of the place, or the one it will have once
  // named; empty while it has no name.
  std::string name;
  // False while the file goes with the process that made it: it has no
  // name (Linux), or is to be deleted when its handle is closed (Windows).
  bool named = false;
};

struct PlatformCalls {
  // The calls that can fail: platform_calls.h says what each does.
// NOLINTNEXTLINE(bugprone-macro-parentheses): a name, and a parameter list
#define ZUB_MEMBER(name, Name, parameters, codes) PlatformCode(*name) parameters;
  ZUB_PLATFORM_CALLS(ZUB_MEMBER)
#undef ZUB_MEMBER

  FileType (*file_type)(Handle handle);

  // While held, an interrupt that watch_interrupts watches for waits; it
  // takes effect when let go.
  void (*hold_interrupts)(bool hold);

  // The whole command line as one text, or nullptr where the platform hands
  // the program its arguments already split.
  const char* (*command_line)();
  // Ends the process with `status`. Never returns.
  void (*exit_process)(std::uint32_t status);
  // Base address of the loaded module that holds `address`; false if none.
  bool (*module_base)(const void* address, std::uintptr_t* base);
  void (*install_fault_handler)(FaultHandler handler);
  void (*remove_fault_handler)();

  // Codes this platform uses where the runtime itself refuses an operation.
  PlatformCode name_too_long;
  PlatformCode not_supported;
  // The name of a file that is being rewritten leads to another file now.
  PlatformCode moved;
};

// The codes with which a step of a replacement fails where the file may
// still be rewritten where it stands, the one place that decides it: the
// folder takes no new file or name (EACCES, EPERM, as in a sticky folder of
// another owner; Windows also a file held open by another program that lets
// others write it but not rename it), has no room or no free inode for one
// or the user's quota is spent (ENOSPC, EDQUOT; Windows gives a spent NTFS
// quota as a full disk), or the file is a mount point of its own (EBUSY) or
// on another device than its folder (EXDEV).
inline constexpr PlatformCode kOnlyInPlace[] = {
    ZUB_CODES((EACCES, EPERM, EBUSY, EXDEV, ENOSPC, EDQUOT),
              (win32_code::kAccessDenied, win32_code::kSharingViolation, win32_code::kNotSameDevice,
               win32_code::kDiskFull, win32_code::kHandleDiskFull))};
bool OnlyInPlace(PlatformCode code);

// The table in use. Starts as the native one.
extern PlatformCalls Sys;

// The native table of the platform this program was built for.
const PlatformCalls& NativeCalls();

}  // namespace zub

#endif  // ZUB_RUNTIME_PLATFORM_H_
