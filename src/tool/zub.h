// The tool: carries the digits behind the last "zub=" tag of a log into the
// first "zub=" tag of a settings file.
#ifndef ZUB_TOOL_ZUB_H_
#define ZUB_TOOL_ZUB_H_

#include <cstdint>
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

// The editing steps, exposed for tests.
// Takes the digits behind the first tag of `line` into `value`; false when
// the line holds no tag (then `value` is left as it was).
bool TakeTagValue(std::string_view line, std::string& value);
// Replaces the old value behind the first tag of `line`; false if no tag.
bool PatchLine(std::string& line, std::string_view value);

}  // namespace zub

#endif  // ZUB_TOOL_ZUB_H_
