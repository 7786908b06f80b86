#include "runtime/line_file.h"

#include <cstring>

#include "runtime/process_frame.h"

namespace zub {

LineFile ConsoleIn;
LineFile ConsoleOut;
std::int32_t PendingIoError = 0;

namespace {

constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kLineFeed = 0x0A;
constexpr char kLineEnd[] = {'\r', '\n'};

void Leave(std::int32_t code) { PendingIoError = code; }

bool IsConsole(const LineFile& file) { return file.name.empty(); }

bool IsOpen(const LineFile& file) {
  return file.state == FileState::kReading || file.state == FileState::kWriting;
}

// A console file keeps its standard handle, and stays open.
void ReleaseHandle(LineFile& file) {
  if (IsConsole(file)) return;
  file.state = FileState::kClosed;
  if (PlatformCode code = Sys.close(file.handle); code != 0) Leave(code);
}

// Writes the waiting bytes in one platform write. False when it failed;
// the bytes are gone either way.
bool WriteOut(LineFile& file) {
  if (file.position == 0) return true;
  std::size_t count = file.position;
  file.position = 0;
  if (PlatformCode code = Sys.write(file.handle, file.buffer, count); code != 0) {
    Leave(code);
    return false;
  }
  return true;
}

void Open(LineFile& file, bool writing) {
  if (file.state == FileState::kUnbound) {
    Leave(kIoNotBound);
    return;
  }
  if (IsOpen(file)) Close(file);
  file.state = writing ? FileState::kWriting : FileState::kReading;
  file.position = 0;
  file.end = 0;
  file.line_flush = false;

  Handle handle = 0;
  PlatformCode code = 0;
  if (IsConsole(file)) {
    code = Sys.std_handle(writing ? StdStream::kOutput : StdStream::kInput, &handle);
  } else if (file.name.size() > kMaxFileNameLength) {
    code = Sys.name_too_long;  // never cut short: a shorter name is another file
  } else {
    code = writing ? Sys.open_write(file.name.c_str(), &handle)
                   : Sys.open_read(file.name.c_str(), &handle);
  }
  if (code != 0) {
    file.state = FileState::kClosed;
    Leave(code);
    return;
  }
  file.handle = handle;
  if (!writing) return;

  switch (Sys.file_type(handle)) {
    case FileType::kUnknown:
      Sys.close(handle);
      file.state = FileState::kClosed;
      Leave(kIoNotOpenForOutput);
      break;
    case FileType::kChar:
      file.line_flush = true;
      break;
    case FileType::kDisk:
    case FileType::kPipe:
      break;
  }
}

// The part of PeekByte that runs once per buffer: opening ConsoleIn on its
// first read, and the refill.
//
// A refill keeps the bytes up to and including the first end marker it
// brought, and drops the rest: since the marker is never taken, nothing
// behind it could be reached anyway. So an end marker can only stand in the
// last byte before `end`, and ReadLine has a single byte to look for.
[[gnu::noinline]] unsigned char PeekAfterBuffer(LineFile& file) {
  if (file.state != FileState::kReading) {
    if (&file == &ConsoleIn) OpenRead(file);
    if (file.state != FileState::kReading) {
      Leave(kIoNotOpenForInput);
      return kEndMarker;
    }
  }

  std::size_t got = 0;
  PlatformCode code = Sys.read(file.handle, file.buffer, kLineFileBufferSize, &got);
  file.position = 0;
  if (code != 0) {
    file.end = 0;
    Leave(code);
    return kEndMarker;
  }
  if (got == 0) {
    // The end of the data stands in the buffer from now on, so no further
    // platform read is made.
    file.buffer[0] = kEndMarker;
    got = 1;
  } else if (const void* marker = std::memchr(file.buffer, kEndMarker, got)) {
    got = static_cast<std::size_t>(static_cast<const unsigned char*>(marker) - file.buffer) + 1;
  }
  file.end = got;
  return file.buffer[0];
}

// Makes the next byte available without taking it. Gives kEndMarker at the
// end of the data, after a failed refill, and on a file not open for reading.
inline unsigned char PeekByte(LineFile& file) {
  if (file.position < file.end && file.state == FileState::kReading) {
    return file.buffer[file.position];
  }
  return PeekAfterBuffer(file);
}

// Takes the byte PeekByte gave. The end marker is never taken.
void TakeByte(LineFile& file) {
  if (file.buffer[file.position] != kEndMarker) ++file.position;
}

// Places bytes in the buffer, writing it out whenever it is full.
void WriteBytes(LineFile& file, const char* data, std::size_t count) {
  while (kLineFileBufferSize - file.position <= count) {
    std::size_t room = kLineFileBufferSize - file.position;
    std::memcpy(file.buffer + file.position, data, room);
    file.position = kLineFileBufferSize;
    data += room;
    count -= room;
    if (!WriteOut(file)) return;
  }
  std::memcpy(file.buffer + file.position, data, count);
  file.position += count;
}

}  // namespace

void Bind(LineFile& file, std::string_view name) {
  if (IsOpen(file)) Close(file);
  file.name.assign(name.substr(0, name.find('\0')));
  file.state = FileState::kClosed;
  file.position = 0;
  file.end = 0;
  file.line_flush = false;
}

void OpenRead(LineFile& file) { Open(file, false); }

void OpenWrite(LineFile& file) { Open(file, true); }

void ReadLine(LineFile& file, std::string& line) {
  line.clear();
  for (;;) {
    if (PeekByte(file) == kEndMarker) return;
    // The whole run up to the next carriage return, or up to the end marker,
    // which can only be the buffer's last byte (see PeekAfterBuffer), goes
    // into the line in one step.
    const unsigned char* run = file.buffer + file.position;
    const std::size_t available = file.end - file.position;
    if (const void* line_end = std::memchr(run, kCarriageReturn, available)) {
      const auto length =
          static_cast<std::size_t>(static_cast<const unsigned char*>(line_end) - run);
      line.append(reinterpret_cast<const char*>(run), length);
      file.position += length + 1;  // with the carriage return
      break;
    }
    const std::size_t length = available - (run[available - 1] == kEndMarker ? 1 : 0);
    line.append(reinterpret_cast<const char*>(run), length);
    file.position += length;
    if (length != available) return;  // at the end marker
  }
  if (PeekByte(file) == kLineFeed) ++file.position;
}

bool AtEnd(LineFile& file) { return PeekByte(file) == kEndMarker; }

unsigned char ReadChar(LineFile& file) {
  unsigned char next = PeekByte(file);
  if (next != kEndMarker) TakeByte(file);
  return next;
}

void WriteLine(LineFile& file, std::string_view line) {
  if (file.state != FileState::kWriting && &file == &ConsoleOut) OpenWrite(file);
  if (file.state != FileState::kWriting) {
    Leave(kIoNotOpen);
    return;
  }
  WriteBytes(file, line.data(), line.size());
  WriteBytes(file, kLineEnd, sizeof kLineEnd);
  if (file.line_flush) WriteOut(file);
}

void Sync(LineFile& file) {
  if (file.state != FileState::kWriting) {
    Leave(kIoNotOpen);
    return;
  }
  if (!WriteOut(file)) return;
  if (PlatformCode code = Sys.sync(file.handle); code != 0) Leave(code);
}

void Close(LineFile& file) {
  switch (file.state) {
    case FileState::kReading:
      ReleaseHandle(file);
      break;
    case FileState::kWriting:
      if (WriteOut(file)) ReleaseHandle(file);
      break;
    case FileState::kUnbound:
    case FileState::kClosed:
      if (&file != &ConsoleIn) Leave(kIoNotOpen);
      break;
  }
}

bool IsDiskFile(const LineFile& file) {
  return IsOpen(file) && Sys.file_type(file.handle) == FileType::kDisk;
}

// Kept out of line: its return address is the place the report names.
[[gnu::noinline]] void CheckIo() {
  if (PendingIoError != 0) {
    AbortWithCode(static_cast<std::uint32_t>(PendingIoError), __builtin_return_address(0));
  }
}

void StartLineFiles() {
  PendingIoError = 0;
  ConsoleIn = LineFile{};
  ConsoleOut = LineFile{};
  Bind(ConsoleIn, "");
  Bind(ConsoleOut, "");
}

void StopLineFiles() {
  Close(ConsoleIn);
  Close(ConsoleOut);
}

}  // namespace zub
