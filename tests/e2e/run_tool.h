// Runs the built tool as a child process, the way a user or a script starts
// it: with its own working folder, standard input and output of a chosen
// kind, and optionally as an unprivileged user.
//
// The command is the list of words in the environment variable
// ZUB_E2E_COMMAND (for example "wine64 /path/zub.exe"), or the tool built
// beside the tests. Cases that only make sense for a native POSIX build
// (terminals, closed descriptors, other users, symbolic links, errno codes)
// are skipped for any other through ZUB_NATIVE_ONLY() or NativeTool().
#ifndef ZUB_TESTS_E2E_RUN_TOOL_H_
#define ZUB_TESTS_E2E_RUN_TOOL_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zub::e2e {

enum class Input {
  kPipe,    // `input` is written to a pipe, which is then closed
  kFile,    // `input` is the content of a file
  kClosed,  // descriptor 0 is closed
};

enum class Output {
  kPipe,
  kFile,
  kClosed,      // descriptor 1 is closed
  kBrokenPipe,  // a pipe whose reading end is gone before the tool starts
  // A pseudo-terminal in line mode, without echo or output mapping, that is
  // standard input too. `input_bytes` are typed once the output ends with
  // kTerminalPrompt.
  kTerminal,
};

struct ToolRun {
  std::vector<std::string> arguments;
  std::string folder;  // the working folder; empty: the test's own
  Input input = Input::kPipe;
  std::string input_bytes;
  Output output = Output::kPipe;
  // When run by root, the tool runs as user and group 65534 (see
  // HandToNobody); otherwise as the current user, unprivileged already.
  bool unprivileged = false;
  // The tool's address space in bytes (RLIMIT_AS); 0: no limit.
  std::size_t memory_limit = 0;
  // The largest file the tool may write, in bytes (RLIMIT_FSIZE); 0: no
  // limit.
  std::size_t file_size_limit = 0;
  // Words that start the tool (a shell, `unshare`), before its command.
  std::vector<std::string> wrapper;
};

struct ToolResult {
  int exit_status = -1;  // -1 when the tool did not exit by itself
  int signal = 0;        // the signal that ended it, if one did
  std::string output;    // the bytes of standard output
  std::string errors;    // the bytes of standard error
  // Terminal only: the output up to kTerminalPrompt was on the terminal
  // while the tool was still running, waiting for input.
  bool waited_for_input = false;
};

inline constexpr std::string_view kTerminalPrompt = "Press ENTER to close ZUB Window\r\n";

std::vector<std::string> ToolCommand();
// True for the native POSIX build; false for a Windows build (a command
// whose last word ends in ".exe"), run by a wrapper such as Wine.
bool NativeTool();
ToolResult RunTool(const ToolRun& run);
// When run by root: gives the folder and everything in it to user and group
// 65534, for a run with `unprivileged` set.
void HandToNobody(const std::string& folder);

}  // namespace zub::e2e

#define ZUB_NATIVE_ONLY()                                                                      \
  do {                                                                                         \
    if (!::zub::e2e::NativeTool()) GTEST_SKIP() << "needs the native POSIX build of the tool"; \
  } while (false)

#endif  // ZUB_TESTS_E2E_RUN_TOOL_H_
