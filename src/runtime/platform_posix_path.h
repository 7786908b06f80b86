// The POSIX platform layer's paths, as its files use them.
#ifndef ZUB_RUNTIME_PLATFORM_POSIX_PATH_H_
#define ZUB_RUNTIME_PLATFORM_POSIX_PATH_H_

#include <sys/stat.h>

#include <string>

#include "runtime/platform.h"

namespace zub::posix {

// A name resolved: the open folder that holds its last part, that part,
// and what it leads to.
struct Resolved {
  int folder = -1;
  std::string name;
  struct stat status = {};
};

// Resolves `name` from the current folder, or from the root folder where it
// starts with a slash, each step judged as the layer judges it.
PlatformCode Resolve(const char* name, Resolved* resolved);
// Opens `name` in `folder` with `flags`, never through a link at the name
// but one of the runner's open files.
PlatformCode OpenNamed(int folder, const char* name, int flags, Handle* handle);
// Opens the file `resolved` names, only where the name still leads to it.
PlatformCode OpenResolved(const Resolved& resolved, int flags, Handle* handle);
// What stands at `name` in `folder`, a link not followed, unless it is one
// of the runner's open files.
int StatAt(int folder, const char* name, struct stat* status);

}  // namespace zub::posix

#endif  // ZUB_RUNTIME_PLATFORM_POSIX_PATH_H_
