// The POSIX platform layer's base: the system calls that the layer tells
// apart, in a table of its own (PosixCalls), and what its files share. Where
// "POSIX" is written in the layer's files, Linux is meant wherever Linux has
// more (O_TMPFILE, leases, /proc, file system types, inode flags): those
// are asked for where the system has them, and done without elsewhere.
#include <fcntl.h>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/platform.h"
#include "runtime/platform_posix.h"

namespace zub {

namespace posix {

constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY;

// Opens `name` in the folder `folder` (AT_FDCWD: the current one).
PlatformCode OpenAt(int folder, const char* name, int flags, mode_t mode, Handle* handle) {
  int fd;
  do {
    fd = Posix.openat(folder, name, flags | kOpenFlags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  *handle = fd;
  return 0;
}

PlatformCode OpenWith(const char* name, int flags, mode_t mode, Handle* handle) {
  return OpenAt(AT_FDCWD, name, flags, mode, handle);
}

int Fd(Handle handle) { return static_cast<int>(handle); }

FileId IdOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

FileLooks LooksOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
          status.st_uid, status.st_gid, status.st_mode};
}

}  // namespace posix

namespace {

#ifdef FS_IOC_GETFLAGS
int GetFlags(int fd, int* flags) { return ::ioctl(fd, FS_IOC_GETFLAGS, flags); }
int SetFlags(int fd, int flags) { return ::ioctl(fd, FS_IOC_SETFLAGS, &flags); }
#else
int GetFlags(int /*fd*/, int* /*flags*/) { return errno = ENOTTY, -1; }
int SetFlags(int /*fd*/, int /*flags*/) { return errno = ENOTTY, -1; }
#endif

void SleepMs(long milliseconds) {
  timespec pause = {milliseconds / 1000, milliseconds % 1000 * 1000000};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

#ifdef FALLOC_FL_KEEP_SIZE
int Fallocate(int fd, int mode, off_t offset, off_t length) {
  return ::fallocate(fd, mode, offset, length);
}
#else
int Fallocate(int /*fd*/, int /*mode*/, off_t /*offset*/, off_t /*length*/) {
  return errno = EOPNOTSUPP, -1;
}
#endif

#ifdef F_SETLEASE
int SetLease(int fd, int type) { return ::fcntl(fd, F_SETLEASE, type); }
#else
int SetLease(int /*fd*/, int /*type*/) { return errno = EINVAL, -1; }
#endif

}  // namespace

const PosixCalls& NativePosixCalls() {
  static const PosixCalls calls = {
      .openat = [](int folder, const char* name, int flags,
                   mode_t mode) { return ::openat(folder, name, flags, mode); },
      .write = ::write,
      .pwrite = ::pwrite,
      .linkat = ::linkat,
      .flistxattr = ::flistxattr,
      .fsetxattr = ::fsetxattr,
      .fallocate = Fallocate,
      .get_flags = GetFlags,
      .set_flags = SetFlags,
      .set_lease = SetLease,
      .flock = ::flock,
      .fsync = ::fsync,
      .random = ::getentropy,
      .pause = SleepMs,
  };
  return calls;
}

PosixCalls Posix = NativePosixCalls();

}  // namespace zub
