// The command line: split on request, never stored.
#include "runtime/process_frame.h"

namespace zub {

namespace {

int ArgvCount = 0;
char** ArgvTable = nullptr;

bool IsSeparator(char byte) {
  auto value = static_cast<unsigned char>(byte);
  return value >= 1 && value <= 32;
}

// Where the next argument behind the program name is to be taken from.
struct ArgumentCursor {
  const char* text = nullptr;  // the command line, or nullptr: the argv table
  std::size_t position = 0;
  int index = 1;
};

// Ends the run where the text is not the command line the program was
// started with: an argument taken from it could name a file the caller never
// named, or split differently. The report names the place that asked for it.
[[gnu::noinline]] void RequireExactCommandLine() {
  if (const PlatformCode code = Sys.check_command_line(); code != 0) {
    AbortWithCode(static_cast<std::uint32_t>(code), __builtin_return_address(0));
  }
}

ArgumentCursor FirstArgument() {
  ArgumentCursor cursor;
  cursor.text = Sys.command_line();
  if (cursor.text != nullptr) {
    RequireExactCommandLine();
    NextArgument(cursor.text, cursor.position);  // the program name
  }
  return cursor;
}

// The next argument, or the empty string when there is none.
std::string TakeArgument(ArgumentCursor& cursor) {
  if (cursor.text != nullptr) return NextArgument(cursor.text, cursor.position);
  // Arguments handed over already split: an empty one is skipped, as the
  // splitting drops an empty pair of double quotes.
  while (cursor.index < ArgvCount && ArgvTable[cursor.index][0] == '\0') ++cursor.index;
  return cursor.index < ArgvCount ? std::string(ArgvTable[cursor.index++]) : std::string();
}

}  // namespace

void SetArgumentSource(int argc, char** argv) {
  ArgvCount = argv != nullptr ? argc : 0;
  ArgvTable = argv;
}

std::string NextArgument(std::string_view text, std::size_t& position) {
  std::size_t at = position;
  for (;;) {
    while (at < text.size() && IsSeparator(text[at])) ++at;
    if (at + 1 < text.size() && text[at] == '"' && text[at + 1] == '"') {
      at += 2;
      continue;
    }
    break;
  }

  std::string argument;
  while (at < text.size() && !IsSeparator(text[at]) && argument.size() < kMaxArgumentBytes) {
    if (text[at] != '"') {
      argument += text[at++];
      continue;
    }
    ++at;  // the opening double quote
    while (at < text.size() && text[at] != '"') {
      // A quoted stretch longer than the room left is cut: the argument
      // never grows past its limit.
      if (argument.size() < kMaxArgumentBytes) argument += text[at];
      ++at;
    }
    if (at < text.size()) ++at;  // the closing double quote
  }
  position = at;
  return argument;
}

std::int32_t ArgumentCount() {
  ArgumentCursor cursor = FirstArgument();
  std::int32_t count = 0;
  while (!TakeArgument(cursor).empty()) ++count;
  return count;
}

std::string Argument(std::int32_t index) {
  if (index == 0) {
    std::string path;
    return Sys.program_path(&path) == 0 ? path : std::string();
  }
  if (index < 0) return {};
  ArgumentCursor cursor = FirstArgument();
  std::string argument;
  for (std::int32_t i = 0; i < index; ++i) {
    argument = TakeArgument(cursor);
    if (argument.empty()) break;
  }
  return argument;
}

}  // namespace zub
