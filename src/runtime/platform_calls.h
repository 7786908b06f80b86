// The platform calls that can fail, each once: its name, its parameters and
// the codes it may give on each system. The table `PlatformCalls` has a
// member for each; the tests' fake table, the fuzz model and the fault
// sweep take the calls, their names and their codes from this list, so that
// a call is added by one entry here and its implementations.
//
// ZUB_PLATFORM_CALLS(X) gives X(name, Name, parameters, codes) for each
// call: `parameters` in parentheses; `codes` those of the system built for
// (ZUB_CODES(POSIX codes, Win32 codes)), which a test gives the call in
// turn. Where "POSIX" is written here, Linux is meant (EDQUOT, ESTALE).
//
// Calls return the platform's error code (errno on POSIX, GetLastError on
// Win32), or 0 on success. Every call below that takes a place opens or
// renames the file of that place only where its name still leads to the
// file that was read, and fails with `moved` otherwise; none follows a
// symbolic link at the name.
#ifndef ZUB_RUNTIME_PLATFORM_CALLS_H_
#define ZUB_RUNTIME_PLATFORM_CALLS_H_

#include <cerrno>
#include <cstdint>

namespace zub::win32_code {
// The Win32 codes of the list, by their names in <winerror.h>.
inline constexpr std::int32_t kFileNotFound = 2, kPathNotFound = 3, kAccessDenied = 5,
                              kInvalidHandle = 6, kNotSameDevice = 17, kSharingViolation = 32,
                              kLockViolation = 33, kHandleDiskFull = 39, kNotSupported = 50,
                              kFileExists = 80, kInvalidParameter = 87, kDiskFull = 112,
                              kFilenameExcedRange = 206, kPipeBusy = 231, kNoData = 232,
                              kUntrustedMountPoint = 448, kFileInvalid = 1006,
                              kNoUnicodeTranslation = 1113, kIoDevice = 1117, kInvalidOwner = 1307;
}  // namespace zub::win32_code

#define ZUB_LIST(...) __VA_ARGS__
#if defined(_WIN32)
#define ZUB_CODES(posix, win32) ZUB_LIST win32
#else
#define ZUB_CODES(posix, win32) ZUB_LIST posix
#endif

// clang-format off
#define ZUB_PLATFORM_CALLS(X)                                                                  \
  /* Opens an existing file for reading (share mode: readers only). The name is resolved  */ \
  /* as `locate` resolves it. A reader is refused a file that another program has open    */ \
  /* for writing, where the system can tell (EAGAIN; Windows: share modes).                */ \
  X(open_read, OpenRead, (const char* name, Handle* handle),                                   \
    ZUB_CODES((ENOENT, EACCES, EPERM, ELOOP, EAGAIN),                                          \
              (kFileNotFound, kPathNotFound, kAccessDenied, kSharingViolation,                 \
               kUntrustedMountPoint)))                                                         \
  /* Creates a file, or truncates an existing one to length 0, for writing.                */ \
  X(open_write, OpenWrite, (const char* name, Handle* handle),                                 \
    ZUB_CODES((EACCES, ENOSPC, EDQUOT), (kAccessDenied, kSharingViolation, kDiskFull)))        \
  /* Opens the file of `place` for reading and writing, without changing it.               */ \
  X(open_update, OpenUpdate, (const FilePlace& place, Handle* handle),                         \
    ZUB_CODES((EACCES, ETXTBSY, ESTALE), (kAccessDenied, kSharingViolation, kFileInvalid)))    \
  /* Tells whether the file of `place` may be written, without opening it for writing: an  */ \
  /* overlay would copy a file opened so.                                                  */ \
  X(probe_write, ProbeWrite, (const FilePlace& place),                                         \
    ZUB_CODES((EACCES, EROFS, ESTALE), (kAccessDenied, kSharingViolation, kFileInvalid)))      \
  /* Opens the device or pipe of `place` for writing, to give it back what was read from  */ \
  /* it: never creates a file, never follows a link at the name, and opens only what the   */ \
  /* name still leads to.                                                                  */ \
  X(open_stream, OpenStream, (const FilePlace& place, Handle* handle),                         \
    ZUB_CODES((EACCES, ENXIO, ESTALE), (kAccessDenied, kPipeBusy, kFileInvalid)))              \
  /* Takes the lock of an open file: shared for a reader, exclusive for a writer, waiting  */ \
  /* a bounded time for another process to give it up. This is what share modes do where  */ \
  /* the platform has none; where it has them, or where the file system keeps no locks,    */ \
  /* there is nothing to do.                                                               */ \
  X(lock, Lock, (Handle handle, bool exclusive),                                               \
    ZUB_CODES((EWOULDBLOCK, ENOLCK), (kLockViolation)))                                        \
  /* The number of names (hard links) the open file has.                                   */ \
  X(link_count, LinkCount, (Handle handle, std::uint32_t* count),                              \
    ZUB_CODES((EIO), (kIoDevice)))                                                             \
  /* Finds the place of the file `name`, a device or a pipe included: the name is resolved */ \
  /* once and its folder opened. The folder is released with close; an exclusive lock on   */ \
  /* it keeps other runs from rewriting files in it meanwhile. The layer refuses a name    */ \
  /* that leads through a folder or a link of a user who is neither the system's           */ \
  /* administrator nor the runner to what another user owns: that user could steer the    */ \
  /* run there.                                                                            */ \
  X(locate, Locate, (const char* name, FilePlace* place),                                      \
    ZUB_CODES((ENOENT, EACCES, EPERM, ELOOP, ENAMETOOLONG),                                    \
              (kFileNotFound, kPathNotFound, kAccessDenied, kUntrustedMountPoint,              \
               kFilenameExcedRange)))                                                          \
  /* Takes `file`, open for reading, as the file of `place`: the name in the folder must   */ \
  /* lead to it.                                                                           */ \
  X(check_place, CheckPlace, (Handle file, FilePlace* place),                                  \
    ZUB_CODES((ESTALE), (kFileInvalid)))                                                       \
  /* The temporary file of a replacement, in the folder of `place`, open for writing. An   */ \
  /* unnamed one leaves nothing behind when the process ends before it is named; where the */ \
  /* file system cannot make one, the call fails with `not_supported`. A named one gets a  */ \
  /* fresh name that nobody can guess.                                                     */ \
  X(create_unnamed, CreateUnnamed, (const FilePlace& place, TemporaryFile* file),              \
    ZUB_CODES((EOPNOTSUPP, ENOSPC, EDQUOT, EACCES, EPERM, EIO),                                \
              (kNotSupported, kDiskFull, kAccessDenied, kIoDevice)))                           \
  X(create_temporary, CreateTemporary, (const FilePlace& place, TemporaryFile* file),          \
    ZUB_CODES((ENOSPC, EDQUOT, EACCES, EIO), (kDiskFull, kAccessDenied, kIoDevice)))           \
  /* Gives the file everything the file of `place` has but its content: owner and group,   */ \
  /* extended attributes (access control lists among them), mode and inode flags. Fails    */ \
  /* where any of that cannot be carried over. Called once the content is written, so that */ \
  /* nothing the system takes away on a write (set-id bits, capabilities) is lost.         */ \
  X(copy_metadata, CopyMetadata, (const FilePlace& place, Handle handle),                      \
    ZUB_CODES((EPERM, EACCES, EIO), (kInvalidOwner, kAccessDenied)))                           \
  /* Gives an unnamed temporary file its name in the folder of `place`, just before it     */ \
  /* replaces the file; a named one keeps its own.                                         */ \
  X(name_temporary, NameTemporary, (const FilePlace& place, TemporaryFile* file),              \
    ZUB_CODES((ENOSPC, EDQUOT, EIO), (kDiskFull, kIoDevice)))                                  \
  /* Puts the temporary file in the place of the file, in one step.                        */ \
  X(replace, Replace, (const FilePlace& place, const TemporaryFile& file),                     \
    ZUB_CODES((EXDEV, EBUSY, EPERM, EIO, ESTALE),                                              \
              (kNotSameDevice, kAccessDenied, kIoDevice, kFileInvalid)))                       \
  /* Makes a finished replacement in the folder of `place` durable.                        */ \
  X(sync_folder, SyncFolder, (const FilePlace& place), ZUB_CODES((EIO), (kIoDevice)))          \
  /* Removes the file `name` of the folder of `place`.                                     */ \
  X(remove, Remove, (const FilePlace& place, const std::string& name),                         \
    ZUB_CODES((EIO, EPERM), (kIoDevice, kAccessDenied)))                                       \
  /* Takes room on the disk for the file to grow to `length` bytes, without changing its   */ \
  /* bytes or its length; where the system cannot take room without writing, it takes     */ \
  /* none. A failure (a full disk) leaves the file as it was.                              */ \
  X(reserve, Reserve, (Handle handle, std::uint64_t length),                                   \
    ZUB_CODES((ENOSPC, EDQUOT, EFBIG), (kDiskFull, kHandleDiskFull)))                          \
  /* Writes all `size` bytes from `offset` on, or fails.                                   */ \
  X(write_at, WriteAt, (Handle handle, std::uint64_t offset, const void* data, std::size_t size), \
    ZUB_CODES((ENOSPC, EDQUOT, EFBIG, EIO), (kDiskFull, kIoDevice)))                           \
  /* Cuts the file to `length` bytes.                                                      */ \
  X(truncate, Truncate, (Handle handle, std::uint64_t length),                                 \
    ZUB_CODES((EIO, EPERM), (kIoDevice, kAccessDenied)))                                       \
  X(std_handle, StdHandle, (StdStream stream, Handle* handle),                                 \
    ZUB_CODES((EBADF), (kInvalidHandle)))                                                      \
  /* Reads up to `size` bytes. The end of the data gives 0 bytes and code 0.               */ \
  X(read, Read, (Handle handle, void* buffer, std::size_t size, std::size_t* got),             \
    ZUB_CODES((EIO), (kIoDevice)))                                                             \
  /* Writes all `size` bytes, or fails.                                                    */ \
  X(write, Write, (Handle handle, const void* data, std::size_t size),                         \
    ZUB_CODES((ENOSPC, EDQUOT, EIO, EPIPE), (kDiskFull, kIoDevice, kNoData)))                  \
  /* Brings the file's bytes to stable storage.                                            */ \
  X(sync, Sync, (Handle handle), ZUB_CODES((EIO, ENOSPC, EDQUOT), (kIoDevice, kDiskFull)))     \
  X(close, Close, (Handle handle), ZUB_CODES((EIO), (kIoDevice)))                              \
  /* From now on an interrupt that ends the process (POSIX: SIGINT, SIGTERM, SIGHUP;       */ \
  /* Windows: the console's Ctrl+C, Ctrl+Break and close) first removes the named          */ \
  /* temporary file that has not yet replaced its file, then ends the process as the       */ \
  /* platform's default would.                                                             */ \
  X(watch_interrupts, WatchInterrupts, (), ZUB_CODES((EINVAL), (kInvalidParameter)))           \
  /* The running program's own path.                                                       */ \
  X(program_path, ProgramPath, (std::string* path), ZUB_CODES((ENOENT), (kFileNotFound)))      \
  /* 0 when the text `command_line` gives is the command line the program was started      */ \
  /* with, byte for byte as the name calls take it; otherwise the code that refuses it.    */ \
  /* Where a character of the real command line has no place in the code page of the name */ \
  /* calls, a look-alike stands in its place, and an argument could name another file.     */ \
  X(check_command_line, CheckCommandLine, (), ZUB_CODES((), (kNoUnicodeTranslation)))
// clang-format on

// In a designated initializer of `PlatformCalls`, as ZUB_PLATFORM_CALLS's X:
// each call set to the function of its `Name`, as each platform names them.
// NOLINTNEXTLINE(bugprone-macro-parentheses): a member, and a function
#define ZUB_IMPLEMENTED_BY_NAME(name, Name, parameters, codes) .name = Name,

#endif  // ZUB_RUNTIME_PLATFORM_CALLS_H_
