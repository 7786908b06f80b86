#include "runtime/replacement.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace zub {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
// Reading the old bytes of a file rewritten in place.
constexpr std::size_t kReadPiece = std::size_t{64} << 10;

// The temporary file of a replacement under way, and the LineFile that
// writes it.
bool Replacing = false;
TemporaryFile Temporary;
LineFile NewFile;

void Leave(PlatformCode code) { PendingIoError = code; }

// Closes the temporary file, if it is still open, and removes it, if it
// has a name by now. Nothing is written out.
void Discard() {
  if (!Replacing) return;
  Replacing = false;
  if (NewFile.state == FileState::kWriting) {
    NewFile.state = FileState::kClosed;
    Sys.close(NewFile.handle);
  }
  if (Temporary.named) Sys.remove(Temporary.name.c_str());
}

// Writes `lines` into a new file beside `target` that takes over all but
// the content of `target`, and puts it in its place. False, with nothing
// pending and nothing left behind, where `target` is to be rewritten in
// place instead.
bool Replace(const std::string& target, std::span<const std::string> lines) {
  if (PlatformCode code = Sys.watch_interrupts(); code != 0) {
    Leave(code);
    return true;
  }
  PlatformCode code = Sys.create_unnamed(target.c_str(), &Temporary);
  if (code == Sys.not_supported) code = Sys.create_temporary(target.c_str(), &Temporary);
  if (code != 0) {
    if (Sys.only_in_place(code)) return false;
    Leave(code);
    return true;
  }
  Replacing = true;
  NewFile = LineFile{};
  NewFile.name = target;  // for the record: the handle is open already
  NewFile.state = FileState::kWriting;
  NewFile.handle = Temporary.handle;
  // A new file that someone else would own, or that would grant other
  // access, must not take the old one's place.
  if (Sys.copy_metadata(target.c_str(), Temporary.handle) != 0) {
    Discard();
    return false;
  }

  for (const std::string& line : lines) {
    WriteLine(NewFile, line);
    if (PendingIoError != 0) return true;
  }
  Sync(NewFile);
  if (PendingIoError != 0) return true;
  if (code = Sys.name_temporary(target.c_str(), &Temporary); code != 0) {
    Leave(code);
    return true;
  }
  Close(NewFile);
  if (PendingIoError != 0) return true;
  if (code = Sys.replace(Temporary.name.c_str(), target.c_str()); code != 0) {
    Discard();
    if (Sys.only_in_place(code)) return false;
    Leave(code);
    return true;
  }
  Replacing = false;
  if (code = Sys.sync_folder(target.c_str()); code != 0) Leave(code);
  return true;
}

std::string Joined(std::span<const std::string> lines) {
  std::size_t length = 0;
  for (const std::string& line : lines) length += line.size() + kLineEnd.size();
  std::string content;
  content.reserve(length);
  for (const std::string& line : lines) content.append(line).append(kLineEnd);
  return content;
}

PlatformCode ReadAll(Handle handle, std::string& bytes) {
  for (;;) {
    const std::size_t had = bytes.size();
    bytes.resize(had + kReadPiece);
    std::size_t got = 0;
    PlatformCode code = Sys.read(handle, bytes.data() + had, kReadPiece, &got);
    bytes.resize(had + got);
    if (code != 0 || got == 0) return code;
  }
}

// Makes the open file hold `content` where it held `old`: room first, then
// the bytes from the first that differs, the length last. On a failure the
// old bytes go back as far as they can; the first failure's code is given.
PlatformCode Overwrite(Handle handle, const std::string& old, const std::string& content) {
  const std::size_t first = static_cast<std::size_t>(
      std::mismatch(old.begin(), old.end(), content.begin(), content.end()).first - old.begin());
  if (first == old.size() && first == content.size()) return 0;
  if (PlatformCode code = Sys.reserve(handle, content.size()); code != 0) return code;
  PlatformCode code = Sys.write_at(handle, first, content.data() + first, content.size() - first);
  if (code == 0) code = Sys.truncate(handle, content.size());
  if (code == 0) code = Sys.sync(handle);
  if (code != 0) {
    Sys.write_at(handle, first, old.data() + first, old.size() - first);
    Sys.truncate(handle, old.size());
    Sys.sync(handle);
  }
  return code;
}

// Rewrites the file `name` where it stands, one writer at a time.
void RewriteInPlace(const std::string& name, std::span<const std::string> lines) {
  const std::string content = Joined(lines);
  Handle handle = 0;
  if (PlatformCode code = Sys.open_update(name.c_str(), &handle); code != 0) {
    Leave(code);
    return;
  }
  std::string old;
  PlatformCode code = Sys.lock(handle, true);
  if (code == 0) code = ReadAll(handle, old);
  if (code == 0) {
    Sys.hold_interrupts(true);
    code = Overwrite(handle, old, content);
    Sys.hold_interrupts(false);
  }
  // The lock goes with the handle.
  PlatformCode closed = Sys.close(handle);
  if (code == 0) code = closed;
  if (code != 0) Leave(code);
}

// A device or a pipe: the lines are written as they come.
void WriteStream(const std::string& name, std::span<const std::string> lines) {
  Bind(NewFile, name);
  OpenWrite(NewFile);
  if (PendingIoError != 0) return;
  for (const std::string& line : lines) {
    WriteLine(NewFile, line);
    if (PendingIoError != 0) return;
  }
  Close(NewFile);
}

}  // namespace

void RewriteFile(LineFile& original, std::span<const std::string> lines) {
  const bool disk_file = IsDiskFile(original);
  std::uint32_t links = 1;
  if (disk_file) {
    if (PlatformCode code = Sys.link_count(original.handle, &links); code != 0) {
      Leave(code);
      return;
    }
  }
  Close(original);
  if (PendingIoError != 0) return;
  if (!disk_file) {
    WriteStream(original.name, lines);
    return;
  }

  // A file that may not be written stays as it is.
  if (PlatformCode code = Sys.probe_write(original.name.c_str()); code != 0) {
    Leave(code);
    return;
  }
  // A file of several names stays one file: a replacement would leave the
  // old content under the other names.
  if (links == 1) {
    // A symbolic link stays a link: the file it points to is replaced.
    std::string target;
    if (PlatformCode code = Sys.resolve(original.name.c_str(), &target); code != 0) {
      Leave(code);
      return;
    }
    if (Replace(target, lines)) return;
  }
  RewriteInPlace(original.name, lines);
}

void DiscardReplacement() { Discard(); }

}  // namespace zub
