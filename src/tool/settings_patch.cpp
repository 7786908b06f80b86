// The settings patch: the log's value goes behind the first tag of the
// settings file, and the whole file is written back.
#include "runtime/process_frame.h"
#include "runtime/replacement.h"
#include "tool/zub.h"

namespace zub {

std::vector<std::string> SettingsLines(1);

namespace {

LineFile SettingsFile;
std::int32_t PatchedLine = kNoLine;

// The old value ends at a blank or a backslash, and also at a line feed, so
// that a file whose lines end in a line feed alone keeps its lines.
constexpr std::string_view kValueEnds = " \\\n";

void LoadSettings(const std::string& settings_path) {
  Bind(SettingsFile, settings_path);
  OpenForRewrite(SettingsFile);
  CheckIo();
  EnterProtectedBlock(SettingsFile);
  SettingsLines.resize(1);
  for (;;) {
    bool at_end = AtEnd(SettingsFile);
    CheckIo();
    if (at_end) break;
    SettingsLines.emplace_back();
    ReadLine(SettingsFile, SettingsLines.back());
    CheckIo();
  }
}

// Every line goes back, each ended by CR LF, in a rewrite that leaves the
// file either as it was or complete.
void WriteSettings() {
  RewriteFile(SettingsFile, std::span(SettingsLines).subspan(1));
  CheckIo();
}

}  // namespace

bool PatchLine(std::string& line, std::string_view value) {
  std::string::size_type tag = FindTag(line);
  if (tag == std::string::npos) return false;
  std::string::size_type first = tag + kTag.size();
  std::string::size_type last = line.find_first_of(kValueEnds, first);
  if (last == std::string::npos) last = line.size();
  line.replace(first, last - first, value);
  return true;
}

void PatchSettings(const std::string& settings_path) {
  LoadSettings(settings_path);

  PatchedLine = kNoLine;
  for (std::size_t k = 1; k < SettingsLines.size(); ++k) {
    if (PatchLine(SettingsLines[k], TagValue)) {
      PatchedLine = static_cast<std::int32_t>(k);
      break;
    }
  }
  LeaveProtectedBlock();
  // Not a byte has been written yet, so this end leaves the file unchanged.
  if (PatchedLine == kNoLine) FinishWith("Bad file InBetween.ini, zub= not found");

  WriteSettings();
}

}  // namespace zub
