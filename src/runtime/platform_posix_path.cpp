// The POSIX platform layer's paths: a name resolved one step at a time,
// with links followed here. (Linux: /proc names the open files that a link
// may stand for, and the overflow owner of a user namespace.)
#include <fcntl.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "runtime/platform.h"
#include "runtime/platform_posix.h"
#include "runtime/platform_posix_path.h"

namespace zub::posix {

namespace {

// Paths. A name is resolved here one step at a time, each step relative to
// the folder before it, and links are followed here rather than by the
// system, so that every step can be looked at. Whoever can change a step
// controls it: the owner of a link decides where it leads, and everyone who
// may write a folder decides what stands at a name in it. A step that
// someone the run does not trust (neither root nor the runner) controls may
// lead on only to what that same one owns; otherwise that one could steer a
// run of root's or of the runner's onto any file. The system's own guards
// against such links (protected_symlinks, protected_hardlinks) are often
// off, and are not relied on.

// A folder opened to go on from, as far as that needs only the right to
// search it.
#if defined(O_PATH)
constexpr int kStepFlags = O_PATH | O_DIRECTORY;
#elif defined(O_SEARCH)
constexpr int kStepFlags = O_SEARCH | O_DIRECTORY;
#else
constexpr int kStepFlags = O_RDONLY | O_DIRECTORY;
#endif
// The owner that a user namespace shows for everyone outside its map (the
// overflow user), where this process runs in such a namespace and that
// owner is not mapped in it; -1, which no file has, elsewhere. Such an
// owner cannot be known: it is nobody's equal, and nobody trusts it.
uid_t UnknownOwner() {
  static const uid_t unknown = [] {
    auto read_text = [](const char* path) {
      std::string text;
      char buffer[512];
      const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) return text;
      for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
      }
      ::close(fd);
      return text;
    };
    const std::string overflow = read_text("/proc/sys/kernel/overflowuid");
    const std::string map = read_text("/proc/self/uid_map");
    if (overflow.empty() || map.empty()) return static_cast<uid_t>(-1);
    const unsigned long owner = std::strtoul(overflow.c_str(), nullptr, 10);
    // Lines of three numbers: the first owner inside, the first outside,
    // and how many follow.
    const char* at = map.c_str();
    for (;;) {
      char* after = nullptr;
      const unsigned long inside = std::strtoul(at, &after, 10);
      if (after == at) break;
      (void)std::strtoul(after, &after, 10);  // the first owner outside
      const unsigned long count = std::strtoul(after, &after, 10);
      if (owner >= inside && owner - inside < count) return static_cast<uid_t>(-1);
      at = after;
    }
    return static_cast<uid_t>(owner);
  }();
  return unknown;
}

bool Trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }
bool Same(uid_t owner, uid_t other) { return owner == other && owner != UnknownOwner(); }

// A folder of root's is a way through, never where a step leads: whoever
// decided the steps before it still decides the steps after it (what
// others may add to it, as to /tmp, is judged by what it is). A whole path in another user's link
// thus goes through "/" to that user's own files, and no further. Seen from inside a user
// namespace, the system's folders have an owner that cannot be known; one that only that owner may
// write is taken as the system's.
bool Passage(const struct stat& status) {
  if (!S_ISDIR(status.st_mode)) return false;
  return status.st_uid == 0 ||
         (status.st_uid == UnknownOwner() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

// True where someone other than root, the runner and `owner` may write the
// folder `folder`: its owner, its group where the group may write (an
// access control list's named users and groups write only where the group
// bits, its mask, allow it), or everyone.
bool OthersMayWrite(const struct stat& folder, uid_t owner) {
  if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) return true;
  return !Trusted(folder.st_uid) && !Same(folder.st_uid, owner);
}

// True where the step from `from` (the folder or link that decides it) to
// `to`, found in the folder `in`, would let someone the run does not trust
// lead it to what another owner has.
// - Anyone who may write a folder can give a file there another name, a
//   sticky folder (/tmp) included: a file with more than one name in a
//   folder that others may write may be another user's hard link to it.
// - The runner's own folder, or own file with a single name, got its name
//   from the runner: nobody else can give it one. It may stand in a
//   folder of someone else's (a team's folder).
bool Steered(const struct stat& from, const struct stat& in, const struct stat& to) {
  if (!S_ISDIR(to.st_mode) && to.st_nlink > 1 && OthersMayWrite(in, to.st_uid)) return true;
  if (Trusted(from.st_uid) || Passage(from) || Passage(to) || Same(from.st_uid, to.st_uid)) {
    return false;
  }
  const bool own = to.st_uid == ::geteuid() && (S_ISDIR(to.st_mode) || to.st_nlink == 1);
  return !(S_ISDIR(from.st_mode) && own);
}

// True where the link `link` in `folder` is one of the runner's open files
// as /proc shows them: a link that names no path ("pipe:[…]"), which stands
// for the open file itself. The runner chose it; the system follows it.
bool OpenFileLink(int folder, const struct stat& link) {
#if defined(__linux__) && defined(PROC_SUPER_MAGIC)
  struct statfs system;
  return S_ISLNK(link.st_mode) && link.st_uid == ::geteuid() && ::fstatfs(folder, &system) == 0 &&
         system.f_type == PROC_SUPER_MAGIC;
#else
  (void)folder;
  (void)link;
  return false;
#endif
}

// True for what /proc shows as the target of an open file that has no path
// ("pipe:[…]", "socket:[…]", "anon_inode:[…]").
bool NamesNoPath(const std::string& target) {
  return target.front() != '/' && target.find(':') != std::string::npos;
}

}  // namespace

// What stands at `name` in `folder`, a link not followed, unless it is one
// of the runner's open files.
int StatAt(int folder, const char* name, struct stat* status) {
  if (::fstatat(folder, name, status, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (OpenFileLink(folder, *status) && ::fstatat(folder, name, status, 0) != 0) return errno;
  return 0;
}

namespace {

// Goes on from `*folder`, whose status is `*here`, to the folder `name` in
// it, coming from `*previous`, which becomes what was entered unless that
// is a passage; the folder left is closed.
// What is entered is looked at once it is open: a folder mounted there on
// demand, or swapped in meanwhile, is judged as it is.
PlatformCode Enter(int* folder, const char* name, struct stat* here, struct stat* previous) {
  Handle next = 0;
  if (PlatformCode code = OpenAt(*folder, name, kStepFlags | O_NOFOLLOW, 0, &next); code != 0) {
    return code;
  }
  struct stat entered;
  PlatformCode code = ::fstat(Fd(next), &entered) == 0 ? 0 : errno;
  if (code == 0 && Steered(*previous, *here, entered)) code = EPERM;
  if (code != 0) {
    ::close(Fd(next));
    return code;
  }
  ::close(*folder);
  *folder = Fd(next);
  *here = entered;
  if (!Passage(entered)) *previous = entered;
  return 0;
}

// The link `name` of `folder`, read whole.
PlatformCode ReadLink(int folder, const char* name, std::string* target) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t length = ::readlinkat(folder, name, text.data(), text.size());
    if (length < 0) return errno;
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      break;
    }
    text.resize(text.size() * 2);  // it may have been cut: read it again
  }
  if (text.empty()) return ENOENT;
  *target = std::move(text);
  return 0;
}

}  // namespace

// Resolves `name` from the current folder, or from the root folder where it
// starts with a slash. A step refused as above gives EPERM; a name that
// leads to a folder, EISDIR.
PlatformCode Resolve(const char* name, Resolved* resolved) {
  if (*name == '\0') return ENOENT;
  std::string rest = name;
  int folder = -1;
  struct stat here;
  Handle start = 0;
  PlatformCode code = OpenWith(rest.front() == '/' ? "/" : ".", kStepFlags, 0, &start);
  if (code == 0) {
    folder = Fd(start);
    code = ::fstat(folder, &here) == 0 ? 0 : errno;
  }
  // The runner chose where to start.
  struct stat previous = here;
  int links = 0;
  while (code == 0) {
    const std::size_t begin = rest.find_first_not_of('/');
    const std::size_t end = rest.find('/', begin);
    const std::string step = begin == std::string::npos ? "." : rest.substr(begin, end - begin);
    rest.erase(0, end == std::string::npos ? rest.size() : end);
    const bool last = rest.find_first_not_of('/') == std::string::npos;
    if (step == "." && !last) continue;
    struct stat status;
    if (::fstatat(folder, step.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      code = errno;
      break;
    }
    if (Steered(previous, here, status)) {
      code = EPERM;
      break;
    }
    if (S_ISLNK(status.st_mode)) {
      std::string target;
      code = ++links > kMaxLinks ? ELOOP : ReadLink(folder, step.c_str(), &target);
      if (code == 0 && NamesNoPath(target) && OpenFileLink(folder, status)) {
        code = !last ? ENOTDIR : StatAt(folder, step.c_str(), &status);
        if (code == 0 && !S_ISDIR(status.st_mode)) {
          resolved->folder = std::exchange(folder, -1);
          resolved->name = step;
          resolved->status = status;
          return 0;
        }
        if (code == 0) code = EISDIR;
        break;
      }
      previous = status;
      // A whole path starts again from the root folder.
      if (code == 0 && target.front() == '/') code = Enter(&folder, "/", &here, &previous);
      rest.insert(0, target);
      continue;
    }
    // The last part, unless the name asks for a folder ("a/", "a/.."),
    // which stands as "." in itself.
    if (last && (rest.empty() || step == ".") && step != "..") {
      if (S_ISDIR(status.st_mode)) {
        code = EISDIR;
        break;
      }
      resolved->folder = std::exchange(folder, -1);
      resolved->name = step;
      resolved->status = status;
      return 0;
    }
    if (!S_ISDIR(status.st_mode)) {
      code = ENOTDIR;
      break;
    }
    code = Enter(&folder, step.c_str(), &here, &previous);
    if (code == 0 && last) rest = ".";
  }
  if (folder >= 0) ::close(folder);
  return code;
}

// Opens `name` in `folder` with `flags`, never through a link at the name
// but one of the runner's open files.
PlatformCode OpenNamed(int folder, const char* name, int flags, Handle* handle) {
  PlatformCode code = OpenAt(folder, name, flags | O_NOFOLLOW, 0, handle);
  struct stat link;
  if (code == ELOOP && ::fstatat(folder, name, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
      OpenFileLink(folder, link)) {
    code = OpenAt(folder, name, flags, 0, handle);
  }
  return code;
}

// Opens the file `resolved` names with `flags`, never through a link, and
// only where the name still leads to what was resolved.
PlatformCode OpenResolved(const Resolved& resolved, int flags, Handle* handle) {
  Handle opened = 0;
  PlatformCode code = OpenNamed(resolved.folder, resolved.name.c_str(), flags, &opened);
  if (code != 0) return code;
  struct stat status;
  code = ::fstat(Fd(opened), &status) == 0 ? 0 : errno;
  if (code == 0 && IdOf(status) != IdOf(resolved.status)) code = ESTALE;
  if (code != 0) {
    ::close(Fd(opened));
    return code;
  }
  *handle = opened;
  return 0;
}

}  // namespace zub::posix
