#include "runtime/replacement.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "runtime/process_frame.h"

namespace zub {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
// Reading the old bytes of a file rewritten in place.
constexpr std::size_t kReadPiece = std::size_t{64} << 10;

// The place of the file being rewritten, while its folder is held, and the
// temporary file of a replacement under way.
FilePlace Place;
bool Located = false;
bool Replacing = false;
TemporaryFile Temporary;
bool TemporaryOpen = false;

void Leave(PlatformCode code) { PendingIoError = code; }

// Lets the folder go, and with it its lock. A failure changes nothing: the
// file is done with.
void ReleasePlace() {
  if (std::exchange(Located, false) && Place.folder != kNoFolder) Sys.close(Place.folder);
}

// Closes the temporary file, if it is still open, and removes it, if it
// has a name by now. Nothing is written out. Gives the code of a removal
// that failed: the file is left behind then.
// Until the removal is made, the file is still the ending sequence's to
// remove.
PlatformCode Discard() {
  if (!Replacing) return 0;
  if (std::exchange(TemporaryOpen, false)) Sys.close(Temporary.handle);
  const PlatformCode code = Temporary.named ? Sys.remove(Place, Temporary.name) : 0;
  Replacing = false;
  return code;
}

// What became of a replacement: done (made, or failed with its code left
// pending), or given up, with nothing left behind, for a rewrite in place.
enum class Replaced { kDone, kInPlace };

// Gives up the replacement for a rewrite in place, unless the temporary
// file could not be removed, which is reported.
Replaced TakeTheOtherWay() {
  if (PlatformCode code = Discard(); code != 0) {
    Leave(code);
    return Replaced::kDone;
  }
  return Replaced::kInPlace;
}

// The ending sequence's step: a temporary file that never took its file's
// place goes. Its handle is released first; nothing is written out.
void DiscardAtEnd() { (void)Discard(); }

std::string Joined(std::span<const std::string> lines) {
  std::size_t length = 0;
  for (const std::string& line : lines) length += line.size() + kLineEnd.size();
  std::string content;
  content.reserve(length);
  for (const std::string& line : lines) content.append(line).append(kLineEnd);
  return content;
}

// Writes `content` into a new file beside the file of `Place` that takes
// over all but the content of that file, and puts it in its place; or
// gives up, with nothing pending and nothing left behind, where the file is
// to be rewritten in place instead.
Replaced Replace(const std::string& content) {
  if (PlatformCode code = Sys.watch_interrupts(); code != 0) {
    Leave(code);
    return Replaced::kDone;
  }
  PlatformCode code = Sys.create_unnamed(Place, &Temporary);
  if (code == Sys.not_supported) code = Sys.create_temporary(Place, &Temporary);
  if (code != 0) {
    if (OnlyInPlace(code)) return Replaced::kInPlace;
    Leave(code);
    return Replaced::kDone;
  }
  Replacing = true;
  TemporaryOpen = true;
  // A disk without room for a second copy may still take the new content
  // where the old one stands.
  if (code = Sys.write(Temporary.handle, content.data(), content.size()); code != 0) {
    if (OnlyInPlace(code)) return TakeTheOtherWay();
    Leave(code);
    return Replaced::kDone;
  }
  // A new file that someone else would own, or that would grant other
  // access, must not take the old one's place. The metadata comes after the
  // content, which a write would take set-id bits and capabilities from.
  if (Sys.copy_metadata(Place, Temporary.handle) != 0) return TakeTheOtherWay();
  if (code = Sys.sync(Temporary.handle); code == 0) code = Sys.name_temporary(Place, &Temporary);
  if (code == 0) {
    TemporaryOpen = false;
    code = Sys.close(Temporary.handle);
  }
  if (code != 0) {
    if (OnlyInPlace(code)) return TakeTheOtherWay();
    Leave(code);
    return Replaced::kDone;
  }
  if (code = Sys.replace(Place, Temporary); code != 0) {
    if (OnlyInPlace(code)) return TakeTheOtherWay();
    Discard();
    Leave(code);
    return Replaced::kDone;
  }
  Replacing = false;
  if (code = Sys.sync_folder(Place); code != 0) Leave(code);
  return Replaced::kDone;
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
// the bytes from the first that differs (to the last that differs, where
// the length stays), the length last. On a failure the old bytes go back as
// far as they can; the first failure's code is given.
PlatformCode Overwrite(Handle handle, const std::string& old, const std::string& content) {
  const std::size_t first = static_cast<std::size_t>(
      std::mismatch(old.begin(), old.end(), content.begin(), content.end()).first - old.begin());
  if (first == old.size() && first == content.size()) return 0;
  std::size_t end = content.size();
  if (old.size() == content.size()) {
    end -= static_cast<std::size_t>(
        std::mismatch(old.rbegin(), old.rend(), content.rbegin()).first - old.rbegin());
  }
  if (PlatformCode code = Sys.reserve(handle, content.size()); code != 0) return code;
  PlatformCode code = Sys.write_at(handle, first, content.data() + first, end - first);
  if (code == 0 && end == content.size()) code = Sys.truncate(handle, content.size());
  if (code == 0) code = Sys.sync(handle);
  if (code != 0) {
    const std::size_t old_end = old.size() == content.size() ? end : old.size();
    Sys.write_at(handle, first, old.data() + first, old_end - first);
    Sys.truncate(handle, old.size());
    Sys.sync(handle);
  }
  return code;
}

// Rewrites the file of `Place` where it stands, one writer at a time.
void RewriteInPlace(const std::string& content) {
  Handle handle = 0;
  if (PlatformCode code = Sys.open_update(Place, &handle); code != 0) {
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

// A device or a pipe gets the lines back as they are, only where its name
// still leads to it.
void WriteStream(const std::string& content) {
  Handle handle = 0;
  PlatformCode code = Sys.open_stream(Place, &handle);
  if (code == 0) {
    code = Sys.write(handle, content.data(), content.size());
    PlatformCode closed = Sys.close(handle);
    if (code == 0) code = closed;
  }
  if (code != 0) Leave(code);
}

// Rewrites the disk file of `Place`, which may be written: replaced where
// that keeps all but its content, else in place.
void RewriteDiskFile(std::uint32_t links, std::span<const std::string> lines) {
  // A file that may not be written stays as it is.
  if (PlatformCode code = Sys.probe_write(Place); code != 0) {
    Leave(code);
    return;
  }
  const std::string content = Joined(lines);
  // A file of several names stays one file: a replacement would leave the
  // old content under the other names.
  if (links == 1 && Replace(content) == Replaced::kDone) return;
  RewriteInPlace(content);
}

}  // namespace

void OpenForRewrite(LineFile& file) {
  Located = false;
  AtEnd(DiscardAtEnd);
  // The console, and a name the line file refuses, are opened as they are.
  if (file.state == FileState::kUnbound || file.name.empty() ||
      file.name.size() > kMaxFileNameLength) {
    OpenRead(file);
    return;
  }
  PlatformCode code = Sys.locate(file.name.c_str(), &Place);
  if (code == 0) {
    Located = true;
    if (Place.folder != kNoFolder) code = Sys.lock(Place.folder, true);
  }
  // A name that leads to no file at all is reported as the open reports it.
  OpenRead(file);
  if (PendingIoError != 0) {
    ReleasePlace();
    return;
  }
  if (code == 0) code = Sys.check_place(file.handle, &Place);
  if (code != 0) {
    ReleasePlace();
    Leave(code);
  }
}

void RewriteFile(LineFile& original, std::span<const std::string> lines) {
  // Only a file opened through OpenForRewrite has a place to be written to.
  if (!Located) {
    Leave(kIoNotOpen);
    return;
  }
  if (!IsDiskFile(original)) {
    Close(original);
    if (PendingIoError == 0) WriteStream(Joined(lines));
    ReleasePlace();
    return;
  }
  std::uint32_t links = 1;
  if (PlatformCode code = Sys.link_count(original.handle, &links); code != 0) {
    Leave(code);
  } else {
    Close(original);
  }
  if (PendingIoError == 0) RewriteDiskFile(links, lines);
  if (PendingIoError != 0) (void)Discard();
  ReleasePlace();
}

}  // namespace zub
