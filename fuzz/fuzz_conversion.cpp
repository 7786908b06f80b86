// The whole run, RunZub in-process, over a log and a settings file of any
// content held in memory, with reads in pieces of odd sizes and, on demand,
// one file call that fails. What must hold:
// - the value is the digits behind the tag of the log's last tagged line,
//   where a lone line feed ends a log line (but not a settings line);
// - a run without a value, or without a tagged settings line, changes
//   nothing, and without a value the settings file is not even opened;
// - otherwise every settings line comes back byte for byte, ended by CR LF,
//   but the first tagged one, whose old value gives way to the digits, and
//   the file keeps its number of lines;
// - a failed call ends the run with its code in the report, the settings
//   file as it was and no file left behind, unless it only sent the rewrite
//   another way (a folder that takes no new file, metadata that cannot be
//   carried over, no unnamed files) or came after it (the folder let go):
//   then the run converts as without it.
//
// The input: a flag byte (1: log and settings are one file, 2: the console
// is a character device, 4: a call fails, bits 3-4: its code, 32: no unnamed
// temporary files, 64: every file has two names, so it is rewritten in
// place), the number of the failing call, a seed for the piece sizes, two
// bytes for the log's length, then the log's bytes and the settings file's.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "line_model.h"
#include "memory_sys.h"
#include "support/files.h"
#include "tool/zub.h"

namespace {

using zub::fuzz::Require;

constexpr std::size_t kHeadSize = 5;
constexpr zub::PlatformCode kCodes[] = {EIO, ENOSPC, EACCES, ENOENT};
const std::string kBanner =
    "ZUB " ZUB_VERSION " - carries the zub= value from a log into a settings file\r\n";
const std::string kPrompt = "Press ENTER to close ZUB Window\r\n";

const std::string& Name(const std::pair<const std::string, std::string>& file) {
  return file.first;
}

// The digits behind the tag of the last tagged line; a log is read line by
// line until its end, and at least one line is read.
std::string ValueOf(const std::string& log) {
  std::string value;
  zub::fuzz::LineModel model(log, true);
  do {
    const std::string line = model.ReadLine();
    const std::size_t tag = line.find("zub=");
    if (tag == std::string::npos) continue;
    const std::size_t digits = tag + 4;
    value = line.substr(digits, line.find_first_not_of("0123456789", digits) - digits);
  } while (!model.AtEnd());
  return value;
}

struct Expected {
  std::string message;
  std::string settings;  // the settings file's bytes afterwards
};

Expected ExpectedRun(const std::string& log, const std::string& settings) {
  const std::string value = ValueOf(log);
  if (value.empty()) return {"Something is wrong, ZUB not found\r\n", settings};
  std::vector<std::string> lines = zub::fuzz::LinesOf(settings);
  const auto tagged = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("zub=") != std::string::npos;
  });
  if (tagged == lines.end()) return {"Bad file InBetween.ini, zub= not found\r\n", settings};
  // The old value: up to the next blank, backslash or line feed, or the end.
  const std::size_t first = tagged->find("zub=") + 4;
  const std::size_t last = std::min(tagged->find_first_of(" \\\n", first), tagged->size());
  tagged->replace(first, last - first, value);
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  Require(zub::fuzz::LinesOf(bytes).size() == lines.size(), "the line count of the new file");
  return {"ZUB converted\r\n", bytes};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeadSize) return 0;
  const std::uint8_t flags = data[0];
  const bool one_file = (flags & 1u) != 0;
  const std::string rest(reinterpret_cast<const char*>(data + kHeadSize), size - kHeadSize);
  const std::size_t log_length = (data[3] | std::size_t{data[4]} << 8) % (rest.size() + 1);
  const std::string log = one_file ? rest : rest.substr(0, log_length);
  const std::string settings = one_file ? rest : rest.substr(log_length);
  std::string log_name = one_file ? "both" : "log.001";
  std::string settings_name = one_file ? "both" : "InBetween.ini";

  zub::fuzz::MemorySys state;
  state.files[log_name] = log;
  state.files[settings_name] = settings;
  state.console_type = (flags & 2u) != 0 ? zub::FileType::kChar : zub::FileType::kPipe;
  if (data[2] != 0) state.pieces = {1u + data[2] % 128u, 1u + data[2] / 2u % 7u, 128u};
  if ((flags & 4u) != 0) {
    state.fail_at = 1 + data[1];
    state.fail_code = kCodes[flags >> 3 & 3u];
  }
  state.named_only = (flags & 32u) != 0;
  state.links = (flags & 64u) != 0 ? 2 : 1;
  const auto files_before = state.files;

  zub::fuzz::StartMemorySys(&state);
  std::string program = "zub";
  char* argv[] = {program.data(), log_name.data(), settings_name.data(), nullptr};
  const std::uint32_t status = zub::fuzz::ExitStatusOf([&] { zub::RunZub(3, argv); });

  Require(state.console_output.starts_with(kBanner), "the banner comes first");
  const Expected expected = ExpectedRun(log, settings);
  const std::string_view failed = state.failed_call != nullptr ? state.failed_call : "";
  // Letting the folder go once the file is done changes nothing. A new file
  // that cannot be made, written, named or put in place whole sends the
  // rewrite in place.
  const bool sent_another_way =
      failed == "copy_metadata" || failed == "close_folder" ||
      ((failed.ends_with("_temporary") || failed == "create_unnamed" || failed == "replace") &&
       zub::OnlyInPlace(state.fail_code));
  if (!failed.empty() && !sent_another_way) {
    Require(status == static_cast<std::uint32_t>(state.fail_code), "the failed call's code");
    Require(zub::testing::EndsWithReport(state.console_output, status),
            "the report ends the output");
    // Only a failure after the new file has taken the old one's place (the
    // folder's sync, the last close) leaves the settings file new.
    auto committed = files_before;
    committed[settings_name] = expected.settings;
    Require(state.files == files_before ||
                (state.files == committed && (failed == "sync_folder" || failed == "close")),
            "a failed run leaves the files as they were");
    return 0;
  }
  Require(status == 0, "a run without failure ends normally");
  Require(state.console_output == kBanner + expected.message + kPrompt, "the dialogue");
  Require(std::ranges::equal(state.files, files_before, {}, Name, Name),
          "no file left behind, none lost");
  Require(state.files[settings_name] == expected.settings, "the settings file's bytes");
  if (!one_file) {
    Require(state.files[log_name] == log, "the log is only read");
    Require(state.opens[settings_name] == (ValueOf(log).empty() ? 0 : 1),
            "the settings file is opened only with a value");
  }
  return 0;
}
