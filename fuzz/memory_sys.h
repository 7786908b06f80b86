// A platform table over files kept in memory, for the fuzz targets: no disk,
// no real process exit, and reads that hand the data over in pieces of
// chosen sizes. Any one file operation can be made to fail.
#ifndef ZUB_FUZZ_MEMORY_SYS_H_
#define ZUB_FUZZ_MEMORY_SYS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/platform.h"
#include "support/process_exit.h"

namespace zub::fuzz {

using testing::ExitStatusOf;
using testing::ProcessExit;

struct MemorySys {
  std::map<std::string, std::string> files;
  std::string console_input;
  std::string console_output;
  FileType console_type = FileType::kPipe;
  // Sizes of the pieces reads of files give, used in turn; empty: whole.
  std::vector<std::size_t> pieces;
  // The file call with this number (from 1) fails with `fail_code`.
  int fail_at = 0;
  PlatformCode fail_code = 0;
  // The system makes no unnamed temporary files.
  bool named_only = false;
  // The number of names every file has.
  std::uint32_t links = 1;

  // Filled in by the run.
  int file_calls = 0;
  const char* failed_call = nullptr;  // the name of the call that failed
  std::map<std::string, int> opens;   // by name: open_read calls
};

// Installs `state` as the platform for the next run. Handles of earlier
// runs that were never closed (a run ends without closing the tool's own
// files) are taken as closed: calls on them succeed and do nothing.
void StartMemorySys(MemorySys* state);

// Ends the fuzz run with a finding when `holds` is false.
void Require(bool holds, const char* what);

}  // namespace zub::fuzz

#endif  // ZUB_FUZZ_MEMORY_SYS_H_
