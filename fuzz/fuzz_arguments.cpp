// The command line: NextArgument over arbitrary text against a plain
// byte-by-byte reading of the splitting rules, and ArgumentCount and
// Argument over the same text as the command line, and over the same bytes
// cut at their zero bytes as an argument table.
//
// The rules: bytes 1 to 32 separate; a pair of double quotes where an
// argument would begin is dropped; a double quote opens a stretch, taken
// whole up to the next double quote or the end of the text, that joins the
// rest of the argument; an argument holds at most kMaxArgumentBytes bytes:
// when it is full outside a stretch, the next byte begins the next argument;
// inside a stretch, the rest of the stretch is dropped.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memory_sys.h"
#include "runtime/process_frame.h"

namespace {

using zub::kMaxArgumentBytes;
using zub::fuzz::Require;

struct Split {
  std::string argument;
  std::size_t end;  // where collecting stopped
};

bool IsSeparator(char byte) {
  return static_cast<unsigned char>(byte) >= 1 && static_cast<unsigned char>(byte) <= 32;
}

std::vector<Split> SplitModel(std::string_view text) {
  std::vector<Split> arguments;
  std::string argument;
  bool inside = false;  // an argument has begun
  bool quoted = false;
  for (std::size_t at = 0; at < text.size();) {
    const char byte = text[at];
    if (!inside) {
      if (IsSeparator(byte)) {
        ++at;
      } else if (byte == '"' && at + 1 < text.size() && text[at + 1] == '"') {
        at += 2;
      } else {
        inside = true;
      }
    } else if (quoted) {
      if (byte == '"') {
        quoted = false;
      } else if (argument.size() < kMaxArgumentBytes) {
        argument += byte;
      }
      ++at;
    } else if (IsSeparator(byte) || argument.size() == kMaxArgumentBytes) {
      arguments.push_back({argument, at});
      argument.clear();
      inside = false;
    } else if (byte == '"') {
      quoted = true;
      ++at;
    } else {
      argument += byte;
      ++at;
    }
  }
  if (!argument.empty()) arguments.push_back({argument, text.size()});
  return arguments;
}

std::string_view CommandLineText;
const char* CommandLine() { return CommandLineText.data(); }

// ArgumentCount and Argument, at the edges and past them, give `expected`
// (the arguments from 1 on); index 0 is the program's own path.
void RequireArguments(const std::vector<std::string>& expected, const char* what) {
  const auto count = static_cast<std::int32_t>(expected.size());
  Require(zub::ArgumentCount() == count, what);
  for (std::int32_t index : {1, 2, count / 2 + 1, count, count + 1, -1}) {
    if (index == 0) continue;
    const bool within = index >= 1 && index <= count;
    Require(zub::Argument(index) ==
                (within ? expected[static_cast<std::size_t>(index - 1)] : std::string()),
            what);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Splitting step by step.
  const std::vector<Split> expected = SplitModel(text);
  std::size_t position = 0;
  for (const Split& split : expected) {
    Require(zub::NextArgument(text, position) == split.argument, "NextArgument's argument");
    Require(position == split.end, "NextArgument's position");
  }
  Require(zub::NextArgument(text, position).empty(), "an empty argument at the end");
  Require(position == text.size(), "the end of the text reached");

  // The command line as one text, which ends at its first zero byte; its
  // first argument is the program name.
  zub::Sys = zub::NativeCalls();
  zub::Sys.command_line = CommandLine;
  CommandLineText = text.c_str();
  std::vector<std::string> words;
  for (const Split& split : SplitModel(CommandLineText)) words.push_back(split.argument);
  if (!words.empty()) words.erase(words.begin());
  RequireArguments(words, "the arguments of the command line");

  // The same bytes as an argument table, one entry per zero byte; empty
  // entries do not count.
  std::vector<std::string> entries(1, "zub");
  std::vector<std::string> kept;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find('\0', at), text.size());
    entries.push_back(text.substr(at, end - at));
    if (end > at) kept.push_back(entries.back());
    at = end + 1;
  }
  std::vector<char*> argv;
  argv.reserve(entries.size());
  for (std::string& entry : entries) argv.push_back(entry.data());
  zub::Sys.command_line = [] { return static_cast<const char*>(nullptr); };
  zub::SetArgumentSource(static_cast<int>(argv.size()), argv.data());
  RequireArguments(kept, "the arguments of the table");
  zub::SetArgumentSource(0, nullptr);
  return 0;
}
