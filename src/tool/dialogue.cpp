// The entry sequence and everything the tool says to the user.
#include "runtime/process_frame.h"
#include "tool/zub.h"

namespace zub {

namespace {

// The version comes from CMakeLists.txt.
constexpr std::string_view kBanner =
    "ZUB " ZUB_VERSION " - carries the zub= value from a log into a settings file";
constexpr std::string_view kUsage[] = {
    "Bad params",
    "Example of using",
    R"(ZUB "C:\Program Files\CM8000\log.001" "C:\Program Files\ChessBase\Engines\TheKing\InBetween.ini")",
};
constexpr std::string_view kUsageEnd = "Then ZUB is converted and log file is deleted";
constexpr std::string_view kPrompt = "Press ENTER to close ZUB Window";
constexpr std::string_view kConverted = "ZUB converted";

std::string LogPath;
std::string SettingsPath;

}  // namespace

void ShowBanner() {
  WriteLine(ConsoleOut, kBanner);
  CheckIo();
}

void ShowUsage() {
  for (std::string_view line : kUsage) {
    WriteLine(ConsoleOut, line);
    CheckIo();
  }
  FinishWith(kUsageEnd);
}

void FinishWith(std::string_view message) {
  WriteLine(ConsoleOut, message);
  CheckIo();
  WriteLine(ConsoleOut, kPrompt);
  CheckIo();
  ReadChar(ConsoleIn);  // the byte itself is of no interest
  CheckIo();
  EndProcess();
}

void RunZub(int argc, char** argv) {
  StartProcessFrame(argc, argv);
  ShowBanner();
  if (ArgumentCount() != 2) ShowUsage();
  LogPath = Argument(1);
  SettingsPath = Argument(2);
  ScanLog(LogPath);
  PatchSettings(SettingsPath);
  FinishWith(kConverted);
}

}  // namespace zub
