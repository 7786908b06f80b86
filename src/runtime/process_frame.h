// The process frame: start-up, the command line, the two ways the process
// ends, the run-time error report and the top-level fault handler.
#ifndef ZUB_RUNTIME_PROCESS_FRAME_H_
#define ZUB_RUNTIME_PROCESS_FRAME_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/line_file.h"

namespace zub {

inline constexpr std::size_t kMaxArgumentBytes = 4096;
inline constexpr std::size_t kReportLength = 29;

extern std::uint32_t ExitStatus;

// Readies the process: exit status 0, console files bound and unopened, the
// fault handler and the out-of-memory handler in place. `argc`/`argv` are
// what the platform handed to main; they serve where the platform has no
// single command-line text.
void StartProcessFrame(int argc, char** argv);

// Keeps the argument table main was given, for platforms that hand the
// arguments over already split.
void SetArgumentSource(int argc, char** argv);

std::int32_t ArgumentCount();
std::string Argument(std::int32_t index);

// One splitting step: the argument that starts at or after `position` in
// `text`, and in `position` the place where collecting stopped. An empty
// result means the text has ended.
std::string NextArgument(std::string_view text, std::size_t& position);

// Ends the process through AbortWithCode when a code is pending. The code
// address reported is this call's return address.
void CheckIo();

// A step of the ending sequence, registered by a part of the runtime that
// has something to undo when the process ends (the rewrite's temporary
// file). Steps run once each, after the report and before the console
// files close; a step registered twice runs once. StartProcessFrame
// forgets them.
using EndingStep = void (*)();
void AtEnd(EndingStep step);

[[noreturn]] void EndProcess();
[[noreturn]] void AbortWithCode(std::uint32_t code, const void* address);

// The report line for `code` at `offset`, without line end. Builds in place,
// so that it can be made when no memory is left.
std::array<char, kReportLength> FormatReport(std::uint32_t code, std::uintptr_t offset);

// The file a protected block keeps open. A processor fault closes it, with
// its check, before the report; an ordinary end does not.
void EnterProtectedBlock(LineFile& file);
void LeaveProtectedBlock();

}  // namespace zub

#endif  // ZUB_RUNTIME_PROCESS_FRAME_H_
