// The POSIX platform layer's files, and its table of the platform calls:
// opening, locking, the temporary file of a replacement and its metadata,
// reading and writing, interrupts. The platform code is errno. (Linux:
// unnamed temporary files, leases, reservations without writing, overlay
// and /proc file systems, inode flags; elsewhere done without.)
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
#include "runtime/platform_posix_path.h"
#include "runtime/platform_posix_process.h"

namespace zub {

using namespace posix;

namespace {

#ifdef FALLOC_FL_KEEP_SIZE
constexpr int kKeepSize = FALLOC_FL_KEEP_SIZE;
#else
constexpr int kKeepSize = 0;
#endif

PlatformCode OpenWrite(const char* name, Handle* handle) {
  return OpenWith(name, O_WRONLY | O_CREAT | O_TRUNC, 0666, handle);
}

// Reading leaves the file's access time alone where the system allows it:
// a log is read in pieces of 128 bytes, and otherwise every one of those
// reads asks whether the access time is due. Only the file's owner may ask
// for this; for anyone else the file is opened the usual way.
PlatformCode OpenRead(const char* name, Handle* handle) {
  Resolved resolved;
  PlatformCode code = Resolve(name, &resolved);
  if (code != 0) return code;
#ifdef O_NOATIME
  code = OpenResolved(resolved, O_RDONLY | O_NOATIME, handle);
  if (code == EPERM)
#endif
    code = OpenResolved(resolved, O_RDONLY, handle);
  ::close(resolved.folder);
  return code;
}

// 0 when the name of `place` leads to the file that was read.
PlatformCode CheckPlace(const FilePlace& place) {
  struct stat status;
  if (PlatformCode code = StatAt(Fd(place.folder), place.name.c_str(), &status); code != 0) {
    return code;
  }
  return IdOf(status) == place.file ? 0 : ESTALE;
}

// True where the open file `fd`, whose status is `status`, is the file of
// `place` copied by an overlay at its first open for writing: the copy
// keeps the name and everything the file looked like, and nothing but an
// overlay makes a copy so.
bool CopiedUp(const FilePlace& place, int fd, const struct stat& status) {
#if defined(__linux__) && defined(OVERLAYFS_SUPER_MAGIC)
  struct statfs system;
  struct stat named;
  return LooksOf(status) == place.looks && ::fstatfs(fd, &system) == 0 &&
         system.f_type == OVERLAYFS_SUPER_MAGIC &&
         ::fstatat(Fd(place.folder), place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         IdOf(named) == IdOf(status);
#else
  (void)place;
  (void)fd;
  (void)status;
  return false;
#endif
}

// Opens the file of `place` as it stands in the held folder, never through
// a symbolic link, and only where it is still the file that was read (or
// the copy an overlay made of it). An open refused because something else
// stands at the name now says so.
PlatformCode OpenPlace(const FilePlace& place, int flags, Handle* handle) {
  Handle opened = 0;
  if (PlatformCode code = OpenNamed(Fd(place.folder), place.name.c_str(), flags, &opened);
      code != 0) {
    return CheckPlace(place) == ESTALE ? ESTALE : code;
  }
  const int fd = Fd(opened);
  struct stat status;
  PlatformCode code = ::fstat(fd, &status) != 0 ? errno : 0;
  if (code == 0 && IdOf(status) != place.file && !CopiedUp(place, fd, status)) code = ESTALE;
  if (code != 0) {
    ::close(fd);
    return code;
  }
  *handle = fd;
  return 0;
}

// Asks the system, for the runner as it is, without opening the file for
// writing.
PlatformCode ProbeWrite(const FilePlace& place) {
  if (PlatformCode code = CheckPlace(place); code != 0) return code;
  return ::faccessat(Fd(place.folder), place.name.c_str(), W_OK,
                     AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0
             ? 0
             : errno;
}

// A device or a pipe is written back as it stands at its name: never
// created, never through a link, and only where it is still what was read.
// A pipe waits here for a reader.
PlatformCode OpenStream(const FilePlace& place, Handle* handle) {
  if (PlatformCode code = CheckPlace(place); code != 0) return code;
  return OpenPlace(place, O_WRONLY, handle);
}

// Writes all `size` bytes: from `offset` on where it is not negative, else
// at the file's position.
PlatformCode WriteAll(Handle handle, const void* data, std::size_t size, off_t offset) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t count = offset < 0 ? Posix.write(Fd(handle), bytes, size)
                               : Posix.pwrite(Fd(handle), bytes, size, offset);
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (count == 0) return ENOSPC;
    bytes += count;
    size -= static_cast<std::size_t>(count);
    if (offset >= 0) offset += count;
  }
  return 0;
}

// Non-blocking, so that a pipe put at the name meanwhile cannot stall it.
PlatformCode OpenUpdate(const FilePlace& place, Handle* handle) {
  return OpenPlace(place, O_RDWR | O_NONBLOCK, handle);
}

// Whether another program has the file open for writing, as far as the
// system tells: a read lease is refused (EAGAIN) exactly then. Where no
// lease can be had (not the file's owner, a file system without them), it
// cannot tell, and nothing is refused. The lease is given back at once;
// meanwhile the signal that would announce a writer is ignored, so that it
// can never end the run.
PlatformCode CheckNoWriter(int fd) {
#ifdef F_SETLEASE
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (::sigaction(SIGIO, &ignore, &previous) != 0) return 0;
  PlatformCode code = Posix.set_lease(fd, F_RDLCK) == 0 ? 0 : errno;
  if (code == 0) (void)Posix.set_lease(fd, F_UNLCK);
  (void)::sigaction(SIGIO, &previous, nullptr);
  return code == EAGAIN ? EAGAIN : 0;
#else
  (void)fd;
  return 0;
#endif
}

// POSIX has no share modes: a lock that every run takes stands in for them,
// so that no run reads a file that another is rewriting in place. Other
// programs that take no lock are not kept out; a reader is at least refused
// a file that another program still has open for writing.
PlatformCode Lock(Handle handle, bool exclusive) {
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  long waited = 0;
  for (long step = 1;;) {
    if (Posix.flock(Fd(handle), operation) == 0) break;
    if (errno == EINTR) continue;
    // A file system that keeps no locks: there is nothing to wait for.
    if (errno != EWOULDBLOCK) break;
    if (waited >= kLockWaitMs) return EWOULDBLOCK;
    Posix.pause(step);
    waited += step;
    step = std::min(step * 2, kLockStepMs);
  }
  return exclusive ? 0 : CheckNoWriter(Fd(handle));
}

PlatformCode LinkCount(Handle handle, std::uint32_t* count) {
  struct stat status;
  if (::fstat(Fd(handle), &status) != 0) return errno;
  *count = static_cast<std::uint32_t>(status.st_nlink);
  return 0;
}

// The named temporary file that has not yet replaced its file, for the
// interrupt handler: set before the name can exist, cleared once it is gone.
int PendingFolder = -1;
char PendingName[sizeof ".zub-0123456789abcdef.tmp"];  // as FreshName makes them
volatile sig_atomic_t HavePending = 0;

void SetPending(const FilePlace& place, const std::string& name) {
  HavePending = 0;
  if (name.size() >= sizeof PendingName) return;  // cannot be
  PendingFolder = Fd(place.folder);
  std::memcpy(PendingName, name.c_str(), name.size() + 1);
  HavePending = 1;
}

void ClearPending(const std::string& name) {
  if (HavePending != 0 && name == PendingName) HavePending = 0;
}

// A name that nobody can guess, and that no process id or earlier run
// decides: a leftover never stands in the way.
std::string FreshName() {
  std::uint64_t bits = 0;
  if (Posix.random(&bits, sizeof bits) != 0) {
    timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^
           static_cast<std::uint64_t>(now.tv_sec) ^ static_cast<std::uint64_t>(::getpid()) << 32;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = ".zub-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kDigits[bits >> shift & 0xF];
  return name + ".tmp";
}

constexpr int kNameAttempts = 100;

PlatformCode CreateUnnamed(const FilePlace& place, TemporaryFile* file) {
#ifdef O_TMPFILE
  Handle handle = 0;
  PlatformCode code = OpenAt(Fd(place.folder), ".", O_TMPFILE | O_WRONLY, 0600, &handle);
  // Kernels and file systems without unnamed files say so in several ways.
  if (code == EOPNOTSUPP || code == EISDIR || code == EINVAL) return EOPNOTSUPP;
  if (code != 0) return code;
  *file = TemporaryFile{handle, "", false};
  return 0;
#else
  (void)place;
  (void)file;
  return EOPNOTSUPP;
#endif
}

PlatformCode CreateTemporary(const FilePlace& place, TemporaryFile* file) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string candidate = FreshName();
    SetPending(place, candidate);
    Handle handle = 0;
    const PlatformCode code = OpenAt(Fd(place.folder), candidate.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, &handle);
    if (code == 0) {
      *file = TemporaryFile{handle, std::move(candidate), true};
      return 0;
    }
    HavePending = 0;
    if (code != EEXIST) return code;
  }
  return EEXIST;
}

PlatformCode NameTemporary(const FilePlace& place, TemporaryFile* file) {
  if (file->named) return 0;
  const std::string self = "/proc/self/fd/" + std::to_string(Fd(file->handle));
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string candidate = FreshName();
    SetPending(place, candidate);
    const int folder = Fd(place.folder);
    int linked = Posix.linkat(AT_FDCWD, self.c_str(), folder, candidate.c_str(), AT_SYMLINK_FOLLOW);
#ifdef AT_EMPTY_PATH
    // Without /proc, a privileged process can still link the file itself.
    if (linked != 0 && errno == ENOENT) {
      linked = Posix.linkat(Fd(file->handle), "", folder, candidate.c_str(), AT_EMPTY_PATH);
    }
#endif
    if (linked == 0) {
      file->name = std::move(candidate);
      file->named = true;
      return 0;
    }
    const PlatformCode code = errno;
    HavePending = 0;
    if (code != EEXIST) return code;
  }
  return EEXIST;
}

// The names of the extended attributes of the open file `fd`; none where
// the file system keeps none.
PlatformCode AttributeNames(int fd, std::vector<std::string>* names) {
  names->clear();
  std::string list;
  for (;;) {
    ssize_t size = Posix.flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : errno;
    if (size == 0) return 0;
    list.resize(static_cast<std::size_t>(size));
    size = Posix.flistxattr(fd, list.data(), list.size());
    if (size >= 0) {
      list.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return errno;  // ERANGE: it grew meanwhile
  }
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = list.find('\0', at);
    names->push_back(list.substr(at, end - at));
    at = end == std::string::npos ? list.size() : end + 1;
  }
  return 0;
}

PlatformCode CopyAttribute(int model, const std::string& name, int fd) {
  std::string value;
  for (;;) {
    ssize_t size = ::fgetxattr(model, name.c_str(), nullptr, 0);
    if (size < 0) return errno;
    value.resize(static_cast<std::size_t>(size));
    size = ::fgetxattr(model, name.c_str(), value.data(), value.size());
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return errno;
  }
  return Posix.fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
}

// The attributes of `model`, and no others: a folder's default ACL that the
// new file took over goes.
PlatformCode CopyAttributes(int model, int fd) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (PlatformCode code = AttributeNames(model, &wanted); code != 0) return code;
  if (PlatformCode code = AttributeNames(fd, &present); code != 0) return code;
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(fd, name.c_str()) != 0) {
      return errno;
    }
  }
  for (const std::string& name : wanted) {
    if (PlatformCode code = CopyAttribute(model, name, fd); code != 0) return code;
  }
  return 0;
}

// The inode flags a user sets (chattr): no dump, no access time, synchronous
// writes and the like. Where the file system keeps none, there are none to
// carry over.
#ifdef FS_IOC_GETFLAGS
constexpr int kUserFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                           FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL;
#else
constexpr int kUserFlags = 0;
#endif
PlatformCode CopyFlags(int model, int fd) {
  int wanted = 0;
  if (Posix.get_flags(model, &wanted) != 0) {
    return errno == ENOTTY || errno == ENOTSUP || errno == EINVAL ? 0 : errno;
  }
  wanted &= kUserFlags;
  int flags = 0;
  if (Posix.get_flags(fd, &flags) != 0) return wanted == 0 ? 0 : errno;
  if ((flags & kUserFlags) == wanted) return 0;
  return Posix.set_flags(fd, (flags & ~kUserFlags) | wanted) == 0 ? 0 : errno;
}

// Owner and group first (a change of owner clears the set-id bits and
// capabilities), then the attributes, ACLs and capabilities among them, the
// mode, which leaves an ACL's mask as the old file's group bits had it, and
// the inode flags last.
PlatformCode CopyFrom(int model, int fd) {
  struct stat old;
  struct stat now;
  if (::fstat(model, &old) != 0 || ::fstat(fd, &now) != 0) return errno;
  if ((old.st_uid != now.st_uid || old.st_gid != now.st_gid) &&
      ::fchown(fd, old.st_uid, old.st_gid) != 0) {
    return errno;
  }
  if (PlatformCode code = CopyAttributes(model, fd); code != 0) return code;
  if (::fchmod(fd, old.st_mode & 07777) != 0) return errno;
  return CopyFlags(model, fd);
}

PlatformCode CopyMetadata(const FilePlace& place, Handle handle) {
  Handle model = 0;
  if (PlatformCode code = OpenPlace(place, O_RDONLY | O_NONBLOCK, &model); code != 0) return code;
  const PlatformCode code = CopyFrom(Fd(model), Fd(handle));
  ::close(Fd(model));
  return code;
}

// The rename replaces the name in the held folder, whatever stands there
// at that instant; it never follows a link.
PlatformCode Replace(const FilePlace& place, const TemporaryFile& file) {
  if (PlatformCode code = CheckPlace(place); code != 0) return code;
  const int folder = Fd(place.folder);
  if (::renameat(folder, file.name.c_str(), folder, place.name.c_str()) != 0) return errno;
  ClearPending(file.name);
  return 0;
}

// Some file systems cannot sync a folder, and a folder that could only be
// held for its path cannot be synced; the file is in place by then, so that
// is done as well as it can be.
PlatformCode SyncFolder(const FilePlace& place) {
  PlatformCode code = Posix.fsync(Fd(place.folder)) == 0 ? 0 : errno;
  return code == EBADF || code == EINVAL || code == EROFS || code == ENOTSUP ? 0 : code;
}

// The name once, and its folder held open: for reading, so that it can be
// locked and synced; where the runner may only search it, as it was
// entered.
PlatformCode Locate(const char* name, FilePlace* place) {
  Resolved resolved;
  if (PlatformCode code = Resolve(name, &resolved); code != 0) return code;
  Handle folder = 0;
  PlatformCode code = OpenAt(resolved.folder, ".", O_RDONLY | O_DIRECTORY, 0, &folder);
  if (code == EACCES) {
    folder = resolved.folder;
    code = 0;
  } else {
    ::close(resolved.folder);
  }
  if (code != 0) return code;
  FilePlace found;
  found.folder = folder;
  found.name = std::move(resolved.name);
  *place = std::move(found);
  return 0;
}

PlatformCode CheckPlace(Handle file, FilePlace* place) {
  struct stat status;
  if (::fstat(Fd(file), &status) != 0) return errno;
  place->file = IdOf(status);
  place->looks = LooksOf(status);
  return CheckPlace(*place);
}

PlatformCode Reserve(Handle handle, std::uint64_t length) {
  const int fd = Fd(handle);
  struct stat status;
  if (::fstat(fd, &status) != 0) return errno;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (length <= size) return 0;
  const auto from = static_cast<off_t>(size);
  const auto count = static_cast<off_t>(length - size);
  if (Posix.fallocate(fd, kKeepSize, from, count) == 0) return 0;
  // No room can be taken without writing here: none is. (posix_fallocate
  // would write zeros past the end, which a crash would leave behind.)
  return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : errno;
}

PlatformCode WriteAt(Handle handle, std::uint64_t offset, const void* data, std::size_t size) {
  return WriteAll(handle, data, size, static_cast<off_t>(offset));
}

PlatformCode Truncate(Handle handle, std::uint64_t length) {
  return ::ftruncate(Fd(handle), static_cast<off_t>(length)) == 0 ? 0 : errno;
}

PlatformCode Remove(const FilePlace& place, const std::string& name) {
  if (::unlinkat(Fd(place.folder), name.c_str(), 0) != 0) return errno;
  ClearPending(name);
  return 0;
}

// Interrupts. The handler removes the pending temporary file, then the
// signal, its action reset to the default, ends the process as it would
// have without the handler. A signal that was ignored stays ignored.
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
bool Watching = false;

void OnInterrupt(int signal) {
  if (HavePending != 0) ::unlinkat(PendingFolder, PendingName, 0);
  (void)::raise(signal);
}

PlatformCode WatchInterrupts() {
  if (Watching) return 0;
  for (int signal : kInterruptSignals) {
    struct sigaction previous = {};
    if (::sigaction(signal, nullptr, &previous) != 0) return errno;
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    if (::sigaction(signal, &action, nullptr) != 0) return errno;
  }
  Watching = true;
  return 0;
}

void HoldInterrupts(bool hold) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : kInterruptSignals) sigaddset(&signals, signal);
  ::sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

// A closed standard input cannot be opened. A closed standard output is
// handed over all the same: its type cannot be told, which refuses it.
PlatformCode StdHandle(StdStream stream, Handle* handle) {
  if (stream == StdStream::kInput && ::fcntl(STDIN_FILENO, F_GETFD) < 0) return errno;
  *handle = stream == StdStream::kInput ? STDIN_FILENO : STDOUT_FILENO;
  return 0;
}

FileType TypeOf(Handle handle) {
  struct stat status;
  if (::fstat(Fd(handle), &status) != 0) return FileType::kUnknown;
  if (S_ISREG(status.st_mode)) return FileType::kDisk;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return FileType::kPipe;
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) return FileType::kChar;
  return FileType::kDisk;  // a folder: it fails at its first read
}

// A failed read: one interrupted by a signal is made again.
[[gnu::noinline]] PlatformCode ReadAfterFailure(Handle handle, void* buffer, std::size_t size,
                                                std::size_t* got) {
  while (errno == EINTR) {
    ssize_t count = ::read(Fd(handle), buffer, size);
    if (count >= 0) {
      *got = static_cast<std::size_t>(count);
      return 0;
    }
  }
  *got = 0;
  return errno;
}

// Runs once per 128 bytes of a log, so the usual case stays short.
PlatformCode Read(Handle handle, void* buffer, std::size_t size, std::size_t* got) {
  ssize_t count = ::read(Fd(handle), buffer, size);
  if (count < 0) return ReadAfterFailure(handle, buffer, size, got);
  *got = static_cast<std::size_t>(count);
  return 0;
}

PlatformCode Write(Handle handle, const void* data, std::size_t size) {
  return WriteAll(handle, data, size, -1);
}

PlatformCode Sync(Handle handle) { return Posix.fsync(Fd(handle)) == 0 ? 0 : errno; }

PlatformCode Close(Handle handle) {
  // After EINTR the descriptor is gone all the same on Linux; not retried.
  return ::close(Fd(handle)) == 0 ? 0 : errno;
}

}  // namespace

const PlatformCalls& NativeCalls() {
  using posix::CheckCommandLine;
  using posix::ProgramPath;
  // Each call of the list by the name of its implementation, then the rest.
  // clang-format off
  static const PlatformCalls calls = {
      ZUB_PLATFORM_CALLS(ZUB_IMPLEMENTED_BY_NAME)
      .file_type = TypeOf,
      .hold_interrupts = HoldInterrupts,
      .command_line = posix::CommandLine,
      .exit_process = posix::ExitProcess,
      .module_base = posix::ModuleBase,
      .install_fault_handler = posix::InstallFaultHandler,
      .remove_fault_handler = posix::RemoveFaultHandler,
      .name_too_long = ENAMETOOLONG,
      .not_supported = EOPNOTSUPP,
      .moved = ESTALE,
  };
  // clang-format on
  return calls;
}

}  // namespace zub
