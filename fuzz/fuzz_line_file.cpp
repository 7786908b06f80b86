// LineFile reading over arbitrary bytes that the platform hands over in
// short pieces of odd sizes, held step by step against the plain line rules.
//
// The input: a head byte; (head & 7) bytes of piece sizes; (head >> 3 & 7)
// bytes that choose the reading operations in turn; then the file's bytes.
// The head byte is also the byte the file watches for, and its bit 6 makes
// a lone line feed end a line, as in the log.
#include <cstddef>
#include <cstdint>
#include <string>

#include "line_model.h"
#include "memory_sys.h"
#include "runtime/line_file.h"

namespace {

using zub::fuzz::Require;

enum class Operation { kReadLine, kAtEnd, kReadChar, kReadWatchedPart };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece_count = data[0] & 7u;
  const std::size_t operation_count = (data[0] >> 3) & 7u;
  if (size < 1 + piece_count + operation_count) return 0;
  const std::uint8_t* pieces = data + 1;
  const std::uint8_t* operations = pieces + piece_count;
  const std::string bytes(reinterpret_cast<const char*>(operations + operation_count),
                          size - 1 - piece_count - operation_count);

  zub::fuzz::MemorySys state;
  for (std::size_t i = 0; i < piece_count; ++i) state.pieces.push_back(1 + pieces[i] % 160u);
  state.files["file"] = bytes;
  zub::fuzz::StartMemorySys(&state);
  zub::PendingIoError = 0;

  zub::LineFile file;
  zub::Bind(file, "file");
  file.watched = data[0];
  file.line_feed_ends_line = (data[0] & 0x40u) != 0;
  zub::OpenRead(file);
  Require(file.state == zub::FileState::kReading, "open for reading");

  zub::fuzz::LineModel model(bytes, file.line_feed_ends_line);
  std::string line;
  // Every eighth step reads a line, so that each run comes to its end; the
  // end is then asked for a few more times, since it must stay.
  int steps_at_end = 0;
  for (std::size_t step = 0; steps_at_end < 6; ++step) {
    auto operation = Operation::kReadLine;
    if (operation_count > 0 && step % 8 != 7) {
      operation = static_cast<Operation>(operations[step % operation_count] % 4u);
    } else if (operation_count == 0 && step % 2 == 0) {
      operation = Operation::kAtEnd;  // the way the tool reads: test, then read
    }
    switch (operation) {
      case Operation::kReadLine:
        zub::ReadLine(file, line);
        Require(line == model.ReadLine(), "ReadLine gives the next line");
        break;
      case Operation::kAtEnd:
        Require(zub::AtEnd(file) == model.AtEnd(), "AtEnd tells the end of the data");
        break;
      case Operation::kReadChar:
        Require(zub::ReadChar(file) == model.ReadChar(), "ReadChar gives the next byte");
        break;
      case Operation::kReadWatchedPart:
        zub::ReadWatchedPart(file, line);
        Require(line == model.ReadWatchedPart(static_cast<char>(data[0])),
                "ReadWatchedPart gives the next line from its first watched byte on");
        break;
    }
    Require(zub::PendingIoError == 0, "no code is left");
    if (model.AtEnd()) ++steps_at_end;
    Require(step <= 8 * bytes.size() + 64, "reading comes to the end");
  }
  zub::Close(file);
  Require(zub::PendingIoError == 0 && file.state == zub::FileState::kClosed, "Close");
  return 0;
}
