// Line-oriented text files and the two console files.
//
// A LineFile is bound to a name (empty: the console), opened for reading or
// writing, used whole line by whole line, and closed. All traffic goes
// through a 128-byte buffer. A failing operation never interrupts its
// caller: it leaves a code in PendingIoError and returns a defined result;
// the caller runs CheckIo (process_frame.h) after every operation.
#ifndef ZUB_RUNTIME_LINE_FILE_H_
#define ZUB_RUNTIME_LINE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/platform.h"

namespace zub {

inline constexpr std::size_t kLineFileBufferSize = 128;
inline constexpr std::size_t kMaxFileNameLength = 259;
inline constexpr unsigned char kEndMarker = 0x1A;

// Codes of the runtime's own, beside the platform's.
inline constexpr std::int32_t kIoNotBound = 102;
inline constexpr std::int32_t kIoNotOpen = 103;
inline constexpr std::int32_t kIoNotOpenForInput = 104;
inline constexpr std::int32_t kIoNotOpenForOutput = 105;

enum class FileState { kUnbound, kClosed, kReading, kWriting };

struct LineFile {
  std::string name;
  FileState state = FileState::kUnbound;
  Handle handle = 0;
  alignas(16) unsigned char buffer[kLineFileBufferSize] = {};
  std::size_t position = 0;  // reading: next byte to take; writing: bytes waiting
  std::size_t end = 0;       // reading: bytes the last refill brought
  // Reading: one bit per buffer byte below `end` that is a carriage return,
  // an end marker, the watched byte or (where it ends lines) a line feed, so
  // that a line's reader finds the end of a run in a few steps.
  std::uint64_t stops[kLineFileBufferSize / 64] = {};
  // The byte ReadWatchedPart keeps lines from; set before the first read.
  // The carriage return, which no line holds, watches for nothing.
  unsigned char watched = 0x0D;
  // Set before the first read: a lone line feed ends a line as well, as it
  // does in the log. Off, it is part of the line.
  bool line_feed_ends_line = false;
  bool line_flush = false;
};

extern LineFile ConsoleIn;
extern LineFile ConsoleOut;

// 0 while no failure is pending; set by a failing operation, never cleared.
extern std::int32_t PendingIoError;

// Keeps the name up to its first zero byte. A file still open is closed
// first, as by Close, so that no waiting byte is dropped unseen.
void Bind(LineFile& file, std::string_view name);
void OpenRead(LineFile& file);
void OpenWrite(LineFile& file);
// Reads the next line, without its line end, into `line`. A line ends at
// CR LF, at a lone CR, at the end of the data and, in a file whose line feeds
// end lines, at a lone LF.
void ReadLine(LineFile& file, std::string& line);
// Reads the next line as ReadLine does, but keeps only its part from its
// first `file.watched` byte on; `part` is empty when the line has none. A
// reader that looks only for text starting with that byte is spared the copy
// of every other line.
void ReadWatchedPart(LineFile& file, std::string& part);
bool AtEnd(LineFile& file);
unsigned char ReadChar(LineFile& file);
void WriteLine(LineFile& file, std::string_view line);
// Writes out what is waiting and brings the file to stable storage.
void Sync(LineFile& file);
void Close(LineFile& file);
// True when the file is open and is a disk file.
bool IsDiskFile(const LineFile& file);

// Binds the console files to standard input and output, unopened.
void StartLineFiles();
// Closes ConsoleIn, then ConsoleOut; their codes are never checked.
void StopLineFiles();

}  // namespace zub

#endif  // ZUB_RUNTIME_LINE_FILE_H_
