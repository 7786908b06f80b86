#include "runtime/replacement.h"

#include <string>

namespace zub {

namespace {

// The replacement under way: the temporary file and the file it is to
// replace. `temporary` is empty while the original is rewritten in place.
struct Replacement {
  LineFile* file = nullptr;
  std::string temporary;
  std::string target;
};

Replacement Current;

void Leave(PlatformCode code) { PendingIoError = code; }

void RewriteInPlace(LineFile& replacement, const std::string& name) {
  Current.file = &replacement;
  Bind(replacement, name);
  OpenWrite(replacement);
}

}  // namespace

void OpenReplacement(LineFile& replacement, LineFile& original) {
  Current = Replacement{};
  // Only a disk file can be replaced by another; a device or a pipe is
  // written as it is.
  const bool disk_file = IsDiskFile(original);
  Close(original);
  if (PendingIoError != 0) return;
  if (!disk_file) {
    RewriteInPlace(replacement, original.name);
    return;
  }

  // A file that may not be written stays as it is.
  if (PlatformCode code = Sys.probe_write(original.name.c_str()); code != 0) {
    Leave(code);
    return;
  }
  // A symbolic link stays a link: the file it points to is replaced.
  std::string target;
  if (PlatformCode code = Sys.resolve(original.name.c_str(), &target); code != 0) {
    Leave(code);
    return;
  }
  std::string temporary;
  Handle handle = 0;
  PlatformCode code = Sys.create_temporary(target.c_str(), &temporary, &handle);
  if (code == Sys.access_denied) {
    // The folder takes no new file, but the file itself may be written.
    RewriteInPlace(replacement, original.name);
    return;
  }
  if (code != 0) {
    Leave(code);
    return;
  }
  Current.file = &replacement;
  Current.temporary = std::move(temporary);
  Current.target = std::move(target);
  replacement = LineFile{};
  replacement.name = Current.temporary;
  replacement.state = FileState::kWriting;
  replacement.handle = handle;
}

void CommitReplacement(LineFile& replacement) {
  if (Current.temporary.empty()) {
    Close(replacement);
    Current = Replacement{};
    return;
  }
  Sync(replacement);
  if (PendingIoError != 0) return;
  Close(replacement);
  if (PendingIoError != 0) return;
  if (PlatformCode code = Sys.replace(Current.temporary.c_str(), Current.target.c_str());
      code != 0) {
    Leave(code);
    return;
  }
  Current = Replacement{};
}

void DiscardReplacement() {
  if (Current.temporary.empty()) return;
  LineFile& file = *Current.file;
  if (file.state == FileState::kReading || file.state == FileState::kWriting) {
    file.state = FileState::kClosed;
    Sys.close(file.handle);
  }
  Sys.remove(Current.temporary.c_str());
  Current.temporary.clear();
}

}  // namespace zub
