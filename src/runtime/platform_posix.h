// What the POSIX platform layer shows of itself beyond the common table.
#ifndef ZUB_RUNTIME_PLATFORM_POSIX_H_
#define ZUB_RUNTIME_PLATFORM_POSIX_H_

#include <sys/types.h>

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "runtime/platform.h"

namespace zub {

// The system calls of this layer whose outcomes it tells apart, beyond
// success and a code to hand on: where one fails in a certain way, the
// layer takes another way (a file system without unnamed files, extended
// attributes, reservations, inode flags or leases; a name already taken).
// Tests change entries to reach each of those ways on any file system. Each
// gives -1 and sets errno on failure, as the call does.
struct PosixCalls {
  int (*openat)(int folder, const char* name, int flags, mode_t mode);
  // Either may write fewer bytes than asked.
  ssize_t (*write)(int fd, const void* bytes, std::size_t size);
  ssize_t (*pwrite)(int fd, const void* bytes, std::size_t size, off_t offset);
  int (*linkat)(int from_folder, const char* from, int to_folder, const char* to, int flags);
  ssize_t (*flistxattr)(int fd, char* list, std::size_t size);
  int (*fsetxattr)(int fd, const char* name, const void* value, std::size_t size, int flags);
  int (*fallocate)(int fd, int mode, off_t offset, off_t length);
  int (*get_flags)(int fd, int* flags);  // FS_IOC_GETFLAGS
  int (*set_flags)(int fd, int flags);   // FS_IOC_SETFLAGS
  int (*set_lease)(int fd, int type);    // F_SETLEASE
  int (*flock)(int fd, int operation);
  int (*fsync)(int fd);
  // The random bits of temporary files' names.
  int (*random)(void* bits, std::size_t size);
  // The pauses while another run holds a file's lock.
  void (*pause)(long milliseconds);
};

// As many links as the system itself follows in one name.
inline constexpr int kMaxLinks = 40;
// How long a run waits for another to give up a file's lock, trying again
// after pauses that grow to kLockStepMs.
inline constexpr long kLockWaitMs = 5000;
inline constexpr long kLockStepMs = 50;

// The table in use. Starts as the native one.
extern PosixCalls Posix;
const PosixCalls& NativePosixCalls();

// The runtime code for a fault signal: `signal_code` is the signal's
// si_code; `stack_overflow` tells a fault on the stack's guard area.
std::uint32_t FaultCodeForSignal(int signal, int signal_code, bool stack_overflow);

}  // namespace zub

// What the layer's files share.
namespace zub::posix {

// Opens `name` in the folder `folder` (AT_FDCWD: the current one).
PlatformCode OpenAt(int folder, const char* name, int flags, mode_t mode, Handle* handle);
PlatformCode OpenWith(const char* name, int flags, mode_t mode, Handle* handle);
int Fd(Handle handle);
FileId IdOf(const struct stat& status);
FileLooks LooksOf(const struct stat& status);

}  // namespace zub::posix

#endif  // ZUB_RUNTIME_PLATFORM_POSIX_H_
