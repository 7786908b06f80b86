// What the tests need of the system they run on beyond the platform table:
// temporary folders, files and pipes to hand the runtime as handles, child
// processes, interrupts, the metadata a rewrite must keep, and error codes.
// One implementation file per system.
#ifndef ZUB_TESTS_SUPPORT_HOST_H_
#define ZUB_TESTS_SUPPORT_HOST_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "runtime/platform.h"

namespace zub::testing::host {

// Error codes of this system, by what they mean.
struct Codes {
  PlatformCode not_found;
  PlatformCode io;
  PlatformCode no_space;
  PlatformCode quota;          // the user's quota spent (Windows: a full disk as a handle meets it)
  PlatformCode not_permitted;  // a new name refused: a sticky folder, a mount point
  PlatformCode bad_handle;
};
extern const Codes kCodes;

// A new folder of its own below the system's temporary folder.
std::filesystem::path MakeTempFolder();
// Such a folder, removed with everything in it at the end of the scope.
struct TempFolder {
  TempFolder() : path(MakeTempFolder()) {}
  ~TempFolder() { std::filesystem::remove_all(path); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path path;
};

// A file opened for the runtime: for reading, or created for writing.
Handle OpenFile(const std::filesystem::path& path, bool write);
void CloseFile(Handle handle);
// Both ends of a new pipe.
void MakePipe(Handle* read_end, Handle* write_end);
// A handle that stands for nothing: its type cannot be told.
Handle NoHandle();
// A character device that takes any output.
extern const char* const kNullDevice;

// The metadata a settings file has before a run (a mode and, where
// `attribute`, an extended attribute on POSIX; an explicit ACL entry on
// Windows), and a text of all of it that a rewrite must keep.
void GiveMetadata(const std::filesystem::path& path, bool attribute = true);
std::string MetadataOf(const std::filesystem::path& path);

// Runs `body(job)` in a child process of its own (forked on POSIX; on
// Windows this test program started again, which main hands to `body`).
struct ChildEnd {
  bool interrupted = false;  // ended as an interrupt without a handler ends it
  std::uint32_t status = 0;  // its exit status otherwise
};
using ChildBody = void (*)(const std::string& job);
ChildEnd RunChild(ChildBody body, const std::string& job);
// In main: true when this process is such a child, after running its job.
bool RunAsChild(ChildBody body);

// The interrupts a user gives (POSIX: SIGINT, SIGTERM and SIGHUP; Windows:
// Ctrl+Break), the `kind`-th of them raised as the system raises it. Held
// interrupts wait: then the caller goes on, and the interrupt takes effect
// once they are let go (AfterHold).
extern const int kInterruptKinds;
void RaiseInterrupt(bool held, int kind = 0);
void AfterHold();
// Makes this process ignore the `kind`-th interrupt from now on, as nohup
// does; false where the system has no such thing.
bool IgnoreInterrupt(int kind);
bool CanIgnoreInterrupts();

// Ways in which a file system or a system differs from the one the tests
// run on, made in this process's platform layer, below its table, so that
// the layer takes the way it takes there.
enum class SystemFault {
  kNoUnnamedFiles,    // temporary files cannot be made without a name
  kNoAttributes,      // the file system keeps no extended attributes
  kNoReservation,     // room on the disk cannot be taken without writing
  kTakenName,         // the first name drawn for a temporary file is kTakenName
  kNoReplacement,     // the call that replaces a file in one step fails
  kNoProc,            // no /proc to name an open file by
  kUnreadableFolder,  // folders may be searched, not read
  kShortWrites,       // a write takes a few bytes at a time
  kAttributeRefused,  // no extended attribute may be set
  kWriterAtLease,     // a writer comes while the log is checked for one
  kNoFolderSync,      // folders cannot be brought to stable storage
  kOldKernel,         // unnamed files refused as kernels before 3.11 refuse them
  kFlagRefused,       // the settings file has an inode flag no new file may get
  kHighFileIndex,     // files differ only in the upper half of their index
  kMovedAway,         // the replacement fails once the old file has its backup name
  // Between the walk that finds a file and its open, "NAME.swap" is renamed
  // to the file's name NAME.
  kSwappedAtOpen,
};
inline constexpr const char* kTakenName = ".zub-0123456789abcdef.tmp";
// The random bits that give kTakenName, the first time only; false after.
inline bool TakenNameBits(void* bits, std::size_t size) {
  static bool drawn = false;
  if (std::exchange(drawn, true)) return false;
  const std::uint64_t taken = 0x0123456789abcdef;
  std::memcpy(bits, &taken, std::min(size, sizeof taken));
  return true;
}
// False where this system has no such way to differ (InjectSystemFault then
// changes nothing).
bool CanInjectSystemFault(SystemFault fault);
bool InjectSystemFault(SystemFault fault);

// The calls that meet another program's momentary hold on a file (a virus
// scanner, the search indexer, a sync client), where the system has them.
enum class HeldCall {
  kOpenLog,         // the log opened to be read
  kReadSettings,    // the settings file opened to be read
  kWriteSettings,   // the settings file opened in its place to be written
  kDeleteSettings,  // the settings file opened in its place to be deleted
  kReplaceFile,     // the replacement in one step (ReplaceFileW)
  kMoveFile,        // a rename (MoveFileExW)
  kRemove,          // the removal of a temporary file
  kRemoveOld,       // the removal of the replaced file, under its backup name
};
inline constexpr std::size_t kHeldCalls = 8;
// The call fails its first `times` tries with `code`, then does what it
// does; pauses between tries take no time.
struct Hold {
  HeldCall call;
  int times;
  PlatformCode code;
};
inline constexpr int kAlways = 1 << 20;
// Windows' codes of a hold: access denied, sharing violation, lock
// violation, and ReplaceFileW's "the replaced file could not be removed".
inline constexpr PlatformCode kHeld[] = {5, 32, 33, 1175};
bool CanInjectHolds();
void InjectHold(const Hold& hold);

// How the layer is to see what stands at paths below `root`, where the
// system can be made to show links and owners that the tests cannot give
// it (Windows under Wine has no reparse points, and one owner for all):
// `path` is a link (or not) of `owner` (0: the runner, 1 and 2: two other
// users, -1: an owner that may not be read) that leads to `leads_to`.
struct Seen {
  const char* path;
  bool link;
  int owner;
  const char* leads_to = nullptr;
};
bool CanShowLinks();
// Whether this process can make symbolic links (Wine makes none from the
// Windows side).
bool CanMakeLinks();
void ShowLinks(const std::filesystem::path& root, const std::vector<Seen>& seen);

}  // namespace zub::testing::host

#endif  // ZUB_TESTS_SUPPORT_HOST_H_
