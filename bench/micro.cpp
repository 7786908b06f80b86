// Micro-benchmarks of the log scan's hot path, in-process and without system
// calls: the platform read hands out an in-memory log in pieces of at most
// the size asked for, as a disk file would.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/line_file.h"
#include "runtime/platform.h"
#include "tool/zub.h"

namespace zub {
namespace {

// Lines as a chess GUI logs them; one in every hundred carries the tag.
constexpr std::string_view kTypicalLines[] = {
    "[12:00:06] <- info depth 16 seldepth 40 score cp -30 nodes 9567140 nps 1404760 time 49115 pv "
    "d8g5 d8c2 b7b1 h4g2",
    "[12:00:07] <- info depth 12 currmove c6d2 currmovenumber 35",
    "[12:00:09] -> go wtime 204808 btime 47747 winc 0 binc 0",
    "[12:00:07] <- info depth 24 seldepth 5 score cp -8 nodes 8811176 nps 468633 time 7479 pv h3h3 "
    "g3d4 h3d7 b8b8 a6h4 c2d6 c5g5",
    "[12:00:10] <- info depth 16 currmove g8b7 currmovenumber 19",
    "[12:00:12] <- bestmove e2e4 ponder e7e5",
};
constexpr std::string_view kTaggedLine = "[12:05:01] rating update zub=1734 (was 1500)";

std::vector<std::string> TypicalLines(std::size_t count) {
  std::vector<std::string> lines;
  for (std::size_t k = 1; k <= count; ++k) {
    lines.emplace_back(k % 100 == 0 ? kTaggedLine : kTypicalLines[k % std::size(kTypicalLines)]);
  }
  return lines;
}

std::string TypicalLog(std::size_t count) {
  std::string log;
  for (const std::string& line : TypicalLines(count)) log += line + "\r\n";
  return log;
}

// The platform table with a log in memory behind every name.
struct MemoryLog {
  static inline std::string_view data;
  static inline std::size_t offset = 0;

  explicit MemoryLog(std::string_view log) {
    data = log;
    Sys = NativeCalls();
    Sys.open_read = [](const char*, Handle* handle) -> PlatformCode {
      offset = 0;
      *handle = 1;
      return 0;
    };
    Sys.read = [](Handle, void* buffer, std::size_t size, std::size_t* got) -> PlatformCode {
      *got = std::min(size, data.size() - offset);
      std::memcpy(buffer, data.data() + offset, *got);
      offset += *got;
      return 0;
    };
    Sys.close = [](Handle) -> PlatformCode { return 0; };
  }
  ~MemoryLog() { Sys = NativeCalls(); }
  MemoryLog(const MemoryLog&) = delete;
  MemoryLog& operator=(const MemoryLog&) = delete;
};

// Line by line through a typical log: whole lines, and the parts from the
// first 'z' on, as the scan reads them (where a line feed ends a line too).
template <void (*kRead)(LineFile&, std::string&)>
void BM_Read(benchmark::State& state) {
  const std::string log = TypicalLog(10000);
  MemoryLog memory(log);
  LineFile file;
  Bind(file, "log");
  file.watched = 'z';
  file.line_feed_ends_line = kRead == ReadWatchedPart;
  std::string line;
  std::size_t lines = 0;
  for (auto _ : state) {
    OpenRead(file);
    do {
      kRead(file, line);
      ++lines;
    } while (!AtEnd(file));
    Close(file);
  }
  if (PendingIoError != 0 || lines != 10000 * static_cast<std::size_t>(state.iterations())) {
    state.SkipWithError("the log did not read back line for line");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_Read<ReadLine>)->Name("BM_ReadLine");
BENCHMARK(BM_Read<ReadWatchedPart>)->Name("BM_ReadWatchedPart");

// The whole scan loop: the reads, the checks and the tag search, line by line.
void BM_ScanLog(benchmark::State& state) {
  const std::string log = TypicalLog(10000);
  MemoryLog memory(log);
  for (auto _ : state) ScanLog("log");
  if (PendingIoError != 0 || TagValue != "1734") state.SkipWithError("wrong value");
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_ScanLog);

// The tag search on every line of a typical log, by the scan's own search
// and, to compare, by general substring searches.
template <std::size_t (*kSearch)(std::string_view)>
void BM_TagSearch(benchmark::State& state) {
  const std::vector<std::string> lines = TypicalLines(10000);
  std::size_t bytes = 0;
  for (const std::string& line : lines) bytes += line.size();
  std::size_t found = 0;
  for (auto _ : state) {
    for (const std::string& line : lines) {
      found += kSearch(line) != std::string_view::npos;
      benchmark::ClobberMemory();
    }
  }
  if (found != 100 * static_cast<std::size_t>(state.iterations())) {
    state.SkipWithError("the search found the wrong lines");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

std::size_t ByFindTag(std::string_view line) { return FindTag(line); }
std::size_t ByStringViewFind(std::string_view line) { return line.find(kTag); }
std::size_t ByMemmem(std::string_view line) {
  const void* at = ::memmem(line.data(), line.size(), kTag.data(), kTag.size());
  return at == nullptr ? std::string_view::npos
                       : static_cast<std::size_t>(static_cast<const char*>(at) - line.data());
}
BENCHMARK(BM_TagSearch<ByFindTag>)->Name("BM_TagSearch/FindTag");
BENCHMARK(BM_TagSearch<ByStringViewFind>)->Name("BM_TagSearch/string_view::find");
BENCHMARK(BM_TagSearch<ByMemmem>)->Name("BM_TagSearch/memmem");

}  // namespace
}  // namespace zub
