// The tool: carries the digits behind the last "zub=" tag of a log into the
// first "zub=" tag of a settings file.
#ifndef ZUB_TOOL_ZUB_H_
#define ZUB_TOOL_ZUB_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zub {

inline constexpr std::string_view kTag = "zub=";
inline constexpr std::int32_t kNoLine = -1;

// The digits taken from the log; empty until found.
extern std::string TagValue;
// Slot 0 is the work line; slots 1 to n hold the settings file's lines.
extern std::vector<std::string> SettingsLines;

// The whole run, as main performs it. Never returns.
[[noreturn]] void RunZub(int argc, char** argv);

void ShowBanner();
[[noreturn]] void ShowUsage();
[[noreturn]] void FinishWith(std::string_view message);

// Reads the log; leaves a non-empty TagValue or finishes the run.
void ScanLog(const std::string& log_path);
// Patches and rewrites the settings file, or finishes the run.
void PatchSettings(const std::string& settings_path);

// The place of the first tag in `line`, or npos. Every log line passes
// through here. The tag's first byte is rare in a log, so it is looked for
// alone, and only where it stands are the other three bytes compared; a
// general substring search such as memmem costs more than the whole rest of
// the scan on lines of typical length.
inline std::string_view::size_type FindTag(std::string_view line) {
  if (line.size() < kTag.size()) return std::string_view::npos;
  const char* const first = line.data();
  const char* const last = first + (line.size() - kTag.size());  // the last place a tag fits
  for (const char* at = first; at <= last; ++at) {
    const auto places = static_cast<std::size_t>(last - at) + 1;
    at = static_cast<const char*>(std::memchr(at, kTag[0], places));
    if (at == nullptr) break;
    if (std::memcmp(at + 1, kTag.data() + 1, kTag.size() - 1) == 0) {
      return static_cast<std::string_view::size_type>(at - first);
    }
  }
  return std::string_view::npos;
}

// The editing steps, exposed for tests.
// Takes the digits behind the first tag of `line` into `value`; false when
// the line holds no tag (then `value` is left as it was).
bool TakeTagValue(std::string_view line, std::string& value);
// Replaces the old value behind the first tag of `line`; false if no tag.
bool PatchLine(std::string& line, std::string_view value);

}  // namespace zub

#endif  // ZUB_TOOL_ZUB_H_
