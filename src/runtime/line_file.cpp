#include "runtime/line_file.h"

#include <bit>
#include <cstring>

// ZUB_NO_SSE2 builds the plain byte loop instead, so that tests can run it
// on machines that have SSE2.
#if defined(__SSE2__) && !defined(ZUB_NO_SSE2)
#define ZUB_USE_SSE2 1
#include <emmintrin.h>
#endif

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
  } else if (writing) {
    code = Sys.open_write(file.name.c_str(), &handle);
  } else if (code = Sys.open_read(file.name.c_str(), &handle); code == 0) {
    // Readers share the file with readers only, never with a run that
    // rewrites it.
    if (code = Sys.lock(handle, false); code != 0) Sys.close(handle);
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

#if defined(ZUB_USE_SSE2)
// One bit per byte of the sixteen at `at` (aligned) that is a carriage
// return, `watched`, or equal to `ends` once the bits `keep` lacks are
// cleared.
inline std::uint64_t StopBits(const unsigned char* at, __m128i watched, __m128i keep,
                              __m128i ends) {
  const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i hits = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(kCarriageReturn))),
                   _mm_cmpeq_epi8(bytes, watched)),
      _mm_cmpeq_epi8(_mm_and_si128(bytes, keep), ends));
  return static_cast<std::uint16_t>(_mm_movemask_epi8(hits));
}

inline std::uint64_t StopWord(const unsigned char* at, __m128i watched, __m128i keep,
                              __m128i ends) {
  return StopBits(at, watched, keep, ends) | StopBits(at + 16, watched, keep, ends) << 16 |
         StopBits(at + 32, watched, keep, ends) << 32 |
         StopBits(at + 48, watched, keep, ends) << 48;
}

void MarkWords(LineFile& file) {
  // The end marker and the line feed differ in bit 4 alone: with that bit
  // cleared, one comparison finds both. Without line feeds, every bit counts.
  static_assert((kLineFeed | 0x10) == kEndMarker, "one bit apart");
  const bool line_feeds = file.line_feed_ends_line;
  const __m128i watched = _mm_set1_epi8(static_cast<char>(file.watched));
  const __m128i keep = _mm_set1_epi8(static_cast<char>(line_feeds ? ~0x10 : ~0));
  const __m128i ends = _mm_set1_epi8(static_cast<char>(line_feeds ? kLineFeed : kEndMarker));
  file.stops[0] = StopWord(file.buffer, watched, keep, ends);
  file.stops[1] = StopWord(file.buffer + 64, watched, keep, ends);
}
#else
std::uint64_t StopWord(const unsigned char* at, unsigned char watched, unsigned char line_end) {
  std::uint64_t bits = 0;
  for (unsigned k = 0; k < 64; ++k) {
    if (at[k] == kCarriageReturn || at[k] == kEndMarker || at[k] == watched || at[k] == line_end) {
      bits |= std::uint64_t{1} << k;
    }
  }
  return bits;
}

void MarkWords(LineFile& file) {
  // A carriage return is marked anyway: as the line end, it adds nothing.
  const unsigned char line_end = file.line_feed_ends_line ? kLineFeed : kCarriageReturn;
  file.stops[0] = StopWord(file.buffer, file.watched, line_end);
  file.stops[1] = StopWord(file.buffer + 64, file.watched, line_end);
}
#endif

// Marks in `stops` the carriage returns, end markers, watched bytes and, in
// a file where they end lines, line feeds among the bytes the refill brought.
void MarkStops(LineFile& file) {
  static_assert(kLineFileBufferSize == 128, "two words of stops");
  MarkWords(file);
  // Bytes behind `end` are left from an earlier fill.
  if (file.end < 64) {
    file.stops[0] &= (std::uint64_t{1} << file.end) - 1;
    file.stops[1] = 0;
  } else if (file.end < 128) {
    file.stops[1] &= (std::uint64_t{1} << (file.end - 64)) - 1;
  }
}

// The place of the first stop at or behind `from`, or `end` if there is none.
std::size_t NextStop(const LineFile& file, std::size_t from) {
  if (from < 64) {
    if (std::uint64_t bits = file.stops[0] >> from; bits != 0) {
      return from + static_cast<std::size_t>(std::countr_zero(bits));
    }
    from = 64;
  }
  if (std::uint64_t bits = file.stops[1] >> (from - 64); bits != 0) {
    return from + static_cast<std::size_t>(std::countr_zero(bits));
  }
  return file.end;
}

// The part of PeekByte that runs once per buffer: opening ConsoleIn on its
// first read, and the refill. An end marker is never taken, so nothing
// behind the first one in the buffer is ever reached.
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
  }
  file.end = got;
  MarkStops(file);
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

// Reads the next line; from its start when `keeping`, otherwise from its
// first watched byte on. Whole runs of bytes up to the next stop go into
// `line` in one step. A carriage return ends the line and takes a line feed
// behind it along; a lone line feed ends it where line feeds end lines.
void GatherLine(LineFile& file, std::string& line, bool keeping) {
  line.clear();
  for (;;) {
    if (PeekByte(file) == kEndMarker) return;
    const std::size_t from = file.position;
    const std::size_t stop = NextStop(file, from);
    if (stop == file.end) {
      if (keeping) line.append(reinterpret_cast<const char*>(file.buffer + from), stop - from);
      file.position = stop;
      continue;
    }
    const unsigned char byte = file.buffer[stop];
    if (byte == kCarriageReturn || byte == kEndMarker ||
        (byte == kLineFeed && file.line_feed_ends_line)) {
      if (keeping) line.append(reinterpret_cast<const char*>(file.buffer + from), stop - from);
      file.position = stop;
      if (byte == kEndMarker) return;  // never taken
      ++file.position;                 // the line end is
      if (byte == kLineFeed) return;   // a line feed ends the line alone
      break;
    }
    // A watched byte belongs to the line, and the kept part starts with it.
    const std::size_t first = keeping ? from : stop;
    keeping = true;
    line.append(reinterpret_cast<const char*>(file.buffer + first), stop + 1 - first);
    file.position = stop + 1;
  }
  if (PeekByte(file) == kLineFeed) ++file.position;
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

void ReadLine(LineFile& file, std::string& line) { GatherLine(file, line, true); }

void ReadWatchedPart(LineFile& file, std::string& part) { GatherLine(file, part, false); }

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
