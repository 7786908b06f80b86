// The tests' host on POSIX systems.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/platform_posix.h"
#include "support/host.h"

namespace zub::testing::host {

const Codes kCodes = {ENOENT, EIO, ENOSPC, EDQUOT, EPERM, EBADF};
const char* const kNullDevice = "/dev/null";

std::filesystem::path MakeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zub-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

Handle OpenFile(const std::filesystem::path& path, bool write) {
  const int flags = write ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
  return ::open(path.c_str(), flags | O_CLOEXEC, 0600);
}

void CloseFile(Handle handle) { ::close(static_cast<int>(handle)); }

void MakePipe(Handle* read_end, Handle* write_end) {
  int ends[2] = {-1, -1};
  if (::pipe(ends) != 0) std::abort();
  *read_end = ends[0];
  *write_end = ends[1];
}

Handle NoHandle() {
  constexpr Handle kUnused = 1000;
  if (::fcntl(static_cast<int>(kUnused), F_GETFD) != -1) std::abort();
  return kUnused;
}

void GiveMetadata(const std::filesystem::path& path, bool attribute) {
  ::chmod(path.c_str(), 0640);
  // Where the system keeps them.
  if (attribute) (void)::setxattr(path.c_str(), "user.zub-test", "kept", 4, 0);
}

std::string MetadataOf(const std::filesystem::path& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return "missing";
  std::string text = "mode " + std::to_string(status.st_mode & 07777) + " owner " +
                     std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
  char names[4096];
  const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < size;) {
    const std::string name(names + at);
    char value[4096];
    const ssize_t length = ::getxattr(path.c_str(), name.c_str(), value, sizeof value);
    text += " " + name + "=" +
            std::string(value, static_cast<std::size_t>(std::max(length, ssize_t{0})));
    at += static_cast<ssize_t>(name.size()) + 1;
  }
  return text;
}

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
const int kInterruptKinds = static_cast<int>(std::size(kInterrupts));

ChildEnd RunChild(ChildBody body, const std::string& job) {
  const pid_t child = ::fork();
  if (child == 0) {
    body(job);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    return {
        std::find(std::begin(kInterrupts), std::end(kInterrupts), signal) != std::end(kInterrupts),
        128u + static_cast<unsigned>(signal)};
  }
  return {false, static_cast<std::uint32_t>(WEXITSTATUS(status))};
}

bool RunAsChild(ChildBody /*body*/) { return false; }  // children are forked

// A held signal is blocked: it is delivered when let go.
void RaiseInterrupt(bool /*held*/, int kind) { std::raise(kInterrupts[kind]); }

bool IgnoreInterrupt(int kind) { return std::signal(kInterrupts[kind], SIG_IGN) != SIG_ERR; }

bool CanIgnoreInterrupts() { return true; }

void AfterHold() {}

// What O_TMPFILE gives where unnamed files are refused.
int UnnamedRefusal = EINVAL;

bool CanInjectSystemFault(SystemFault fault) {
  // Without /proc, only a privileged process can name an unnamed file.
  if (fault == SystemFault::kNoProc) return ::geteuid() == 0;
  // A rename is the one way; file indexes and ReplaceFileW are Windows'.
  return fault != SystemFault::kNoReplacement && fault != SystemFault::kHighFileIndex &&
         fault != SystemFault::kMovedAway;
}

bool CanInjectHolds() { return false; }  // share modes are Windows'

void InjectHold(const Hold& /*hold*/) {}

// Real links and owners are made here (tests/e2e, as root).
bool CanShowLinks() { return false; }

bool CanMakeLinks() { return true; }

void ShowLinks(const std::filesystem::path& /*root*/, const std::vector<Seen>& /*seen*/) {}

bool InjectSystemFault(SystemFault fault) {
  if (!CanInjectSystemFault(fault)) return false;
  switch (fault) {
    case SystemFault::kNoUnnamedFiles:
    case SystemFault::kOldKernel:
      // What file systems without unnamed files say to O_TMPFILE, and what
      // kernels before 3.11 say.
      UnnamedRefusal = fault == SystemFault::kOldKernel ? EISDIR : EINVAL;
      Posix.openat = [](int folder, const char* name, int flags, mode_t mode) {
        if ((flags & O_TMPFILE) == O_TMPFILE) return errno = UnnamedRefusal, -1;
        return NativePosixCalls().openat(folder, name, flags, mode);
      };
      break;
    case SystemFault::kNoAttributes:
      Posix.flistxattr = [](int, char*, std::size_t) -> ssize_t { return errno = ENOTSUP, -1; };
      break;
    case SystemFault::kNoReservation:
      Posix.fallocate = [](int, int, off_t, off_t) { return errno = EOPNOTSUPP, -1; };
      break;
    case SystemFault::kTakenName:
      Posix.random = [](void* bits, std::size_t size) {
        return TakenNameBits(bits, size) ? 0 : NativePosixCalls().random(bits, size);
      };
      break;
    case SystemFault::kNoProc:
      Posix.linkat = [](int from_folder, const char* from, int to_folder, const char* to,
                        int flags) {
        if (std::strncmp(from, "/proc/", 6) == 0) return errno = ENOENT, -1;
        return NativePosixCalls().linkat(from_folder, from, to_folder, to, flags);
      };
      break;
    case SystemFault::kUnreadableFolder:
      Posix.openat = [](int folder, const char* name, int flags, mode_t mode) {
        const bool read_folder =
            (flags & O_DIRECTORY) != 0 && (flags & O_PATH) == 0 && (flags & O_TMPFILE) != O_TMPFILE;
        if (read_folder) return errno = EACCES, -1;
        return NativePosixCalls().openat(folder, name, flags, mode);
      };
      break;
    case SystemFault::kShortWrites:
      Posix.write = [](int fd, const void* bytes, std::size_t size) {
        return NativePosixCalls().write(fd, bytes, std::min<std::size_t>(size, 3));
      };
      Posix.pwrite = [](int fd, const void* bytes, std::size_t size, off_t offset) {
        return NativePosixCalls().pwrite(fd, bytes, std::min<std::size_t>(size, 3), offset);
      };
      break;
    case SystemFault::kAttributeRefused:
      Posix.fsetxattr = [](int, const char*, const void*, std::size_t, int) {
        return errno = EPERM, -1;
      };
      break;
    case SystemFault::kWriterAtLease:
      // Its open, refused while the lease holds, tells the holder by SIGIO.
      Posix.set_lease = [](int fd, int type) {
        const int result = NativePosixCalls().set_lease(fd, type);
        if (result == 0 && type == F_RDLCK) {
          const std::string self = "/proc/self/fd/" + std::to_string(fd);
          const int writer = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
          if (writer >= 0) ::close(writer);
        }
        return result;
      };
      break;
    case SystemFault::kNoFolderSync:
      Posix.fsync = [](int fd) {
        struct stat status;
        if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) return errno = EINVAL, -1;
        return NativePosixCalls().fsync(fd);
      };
      break;
    case SystemFault::kFlagRefused:
      // Every named file has the no-dump flag; an unnamed one cannot get it.
      Posix.get_flags = [](int fd, int* flags) {
        struct stat status;
        if (::fstat(fd, &status) != 0) return -1;
        if (NativePosixCalls().get_flags(fd, flags) != 0) *flags = 0;
        if (status.st_nlink > 0) *flags |= FS_NODUMP_FL;
        return 0;
      };
      Posix.set_flags = [](int, int) { return errno = EPERM, -1; };
      break;
    case SystemFault::kSwappedAtOpen:
      // The one open of a file by its name alone, never through a link.
      Posix.openat = [](int folder, const char* name, int flags, mode_t mode) {
        if ((flags & (O_NOFOLLOW | O_DIRECTORY)) == O_NOFOLLOW) {
          (void)::renameat(folder, (std::string(name) + ".swap").c_str(), folder, name);
        }
        return NativePosixCalls().openat(folder, name, flags, mode);
      };
      break;
    case SystemFault::kNoReplacement:
    case SystemFault::kHighFileIndex:
    case SystemFault::kMovedAway:
      break;
  }
  return true;
}

}  // namespace zub::testing::host
