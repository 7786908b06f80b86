// Every platform call of a whole run, failed in turn.
//
// A first run counts the calls; then the run is repeated once per call,
// with that call failing with an error that suits its kind. Each run must
// end, with the failing call's code as exit status and in the report line,
// and must leave the settings file either as it was or completely
// converted, never cut short, with no temporary file beside it.
//
// Each run takes place in a child process of its own, so that it starts
// from fresh process-wide state, as the tool does: a run that fails keeps
// the tool's files open, which the next run in the same process would find.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "support/fake_sys.h"
#include "tool/zub.h"

namespace zub::testing {
namespace {

namespace fs = std::filesystem;

constexpr mode_t kSettingsMode = 0640;
const std::string kPrompt = "Press ENTER to close ZUB Window\r\n";

// The errors a failing call is given, by kind in the order of Call:
// open_read, open_write, probe_write, create_temporary, std_handle, read,
// write, sync, close, resolve, replace, remove.
const std::vector<PlatformCode> kCodes[kCallKinds] = {
    {ENOENT, EACCES}, {EACCES}, {EACCES}, {ENOSPC}, {EBADF}, {EIO},
    {ENOSPC},         {EIO},    {EIO},    {ENOENT}, {EXDEV}, {EIO}};

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct Scenario {
  const char* name;
  std::string log;
  std::string settings;
  std::string patched;  // the settings file after a complete run
  std::string message;  // the run's last message before the prompt
};

// Logs and settings longer than one 128-byte piece, so that reading and
// writing each take several calls.
std::string Numbered(const std::string& stem, int count) {
  std::string text;
  for (int k = 1; k <= count; ++k) text += stem + std::to_string(k) + "\r\n";
  return text;
}

const Scenario kScenarios[] = {
    {"Conversion", Numbered("log line zub=", 12), Numbered("setting ", 20) + "x zub=7 y\r\n",
     Numbered("setting ", 20) + "x zub=12 y\r\n", "ZUB converted\r\n"},
    {"NoTagInSettings", Numbered("log line zub=", 12), Numbered("setting ", 20),
     Numbered("setting ", 20), "Bad file InBetween.ini, zub= not found\r\n"},
    {"NoTagInLog", Numbered("log line ", 12), "zub=7\r\n", "zub=7\r\n",
     "Something is wrong, ZUB not found\r\n"},
};

struct Outcome {
  bool ended = false;
  std::uint32_t status = 0;
  std::vector<Call> calls;
  std::string output;
  std::string log;
  std::string settings;
  mode_t settings_mode = 0;
  std::set<std::string> entries;  // of the folder that holds both files
};

// One whole run in a fresh folder below `root`; the `fail_at`-th platform
// call (0: none) fails with `code`.
Outcome RunOnce(const fs::path& root, const Scenario& scenario, int fail_at, PlatformCode code) {
  const fs::path folder = root / "files";
  fs::remove_all(root);
  fs::create_directories(folder);
  WriteFile(folder / "log.001", scenario.log);
  WriteFile(folder / "InBetween.ini", scenario.settings);
  ::chmod((folder / "InBetween.ini").c_str(), kSettingsMode);
  WriteFile(root / "input", "");

  Outcome outcome;
  pid_t child = ::fork();
  if (child == 0) {
    int input = ::open((root / "input").c_str(), O_RDONLY);
    int output = ::open((root / "output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string log_path = folder / "log.001";
    std::string settings_path = folder / "InBetween.ini";
    char name[] = "zub";
    char* argv[] = {name, log_path.data(), settings_path.data(), nullptr};
    FakeSys fake;
    fake.SetStdHandles(input, output);
    fake.Reset();
    if (fail_at > 0) fake.FailNth(Call::kAny, fail_at, code);
    std::uint32_t status = ExitStatusOf([&] { RunZub(3, argv); });
    // The exit status, then one byte per platform call.
    std::string message(reinterpret_cast<const char*>(&status), sizeof status);
    for (Call call : fake.Log()) message += static_cast<char>(call);
    WriteFile(root / "calls", message);
    ::_exit(0);
  }
  int child_status = 0;
  ::waitpid(child, &child_status, 0);
  const std::string message = ReadFile(root / "calls");
  if (message.size() < sizeof outcome.status || !WIFEXITED(child_status)) return outcome;

  std::copy_n(message.data(), sizeof outcome.status, reinterpret_cast<char*>(&outcome.status));
  outcome.ended = outcome.status != 0xDEADBEEF;
  for (std::size_t i = sizeof outcome.status; i < message.size(); ++i) {
    outcome.calls.push_back(static_cast<Call>(message[i]));
  }
  outcome.output = ReadFile(root / "output");
  outcome.log = ReadFile(folder / "log.001");
  outcome.settings = ReadFile(folder / "InBetween.ini");
  struct stat status;
  if (::stat((folder / "InBetween.ini").c_str(), &status) == 0) {
    outcome.settings_mode = status.st_mode & 07777;
  }
  for (const auto& entry : fs::directory_iterator(folder)) {
    outcome.entries.insert(entry.path().filename().string());
  }
  return outcome;
}

// True when `text` ends with the report line for `code`.
bool EndsWithReport(const std::string& text, std::uint32_t code) {
  std::string digits = std::to_string(code);
  std::string head = "Runtime error" + std::string(4 - digits.size(), ' ') + digits + " at ";
  std::size_t length = head.size() + 10;
  if (text.size() < length) return false;
  std::string line = text.substr(text.size() - length);
  return line.compare(0, head.size(), head) == 0 &&
         line.find_first_not_of("0123456789ABCDEF", head.size()) == length - 2 &&
         line.compare(length - 2, 2, "\r\n") == 0;
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class FaultSweep : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zub-sweep-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
};

TEST_P(FaultSweep, EveryFailedCallEndsCleanly) {
  const Scenario& scenario = GetParam();
  const std::set<std::string> kFiles = {"InBetween.ini", "log.001"};

  const Outcome counted = RunOnce(root_, scenario, 0, 0);
  ASSERT_TRUE(counted.ended);
  ASSERT_EQ(counted.status, 0u);
  ASSERT_EQ(counted.output.substr(counted.output.size() - scenario.message.size() - kPrompt.size()),
            scenario.message + kPrompt);
  ASSERT_EQ(counted.settings, scenario.patched);
  // The settings file is new from the replace on; before it, still the old one.
  const auto replace = std::find(counted.calls.begin(), counted.calls.end(), Call::kReplace);
  const std::size_t replaced_after = static_cast<std::size_t>(replace - counted.calls.begin()) + 1;

  int failed = 0;
  for (std::size_t n = 1; n <= counted.calls.size(); ++n) {
    const Call call = counted.calls[n - 1];
    for (PlatformCode code : kCodes[static_cast<int>(call)]) {
      ++failed;
      SCOPED_TRACE(::testing::Message()
                   << "call " << n << " (" << CallName(call) << ") fails with " << code);
      const Outcome run = RunOnce(root_, scenario, static_cast<int>(n), code);
      ASSERT_TRUE(run.ended);
      EXPECT_EQ(run.log, scenario.log);
      EXPECT_EQ(run.entries, kFiles);
      EXPECT_EQ(run.settings_mode, kSettingsMode);
      EXPECT_EQ(run.settings, n > replaced_after ? scenario.patched : scenario.settings);
      if (run.status == 0) {
        // The ending's last write-out of standard output fails unseen: the
        // run has ended as it would have, only its output is cut.
        if (call == Call::kWrite && n == counted.calls.size()) {
          EXPECT_TRUE(counted.output.starts_with(run.output)) << run.output;
          EXPECT_LT(run.output.size(), counted.output.size());
        } else {
          EXPECT_TRUE(run.output.ends_with(scenario.message + kPrompt)) << run.output;
        }
        continue;
      }
      // A standard handle that cannot be had makes its console file fail to
      // open, which is reported with the console file's own code.
      if (call == Call::kStdHandle) {
        EXPECT_TRUE(run.status == 103 || run.status == 104) << run.status;
      } else {
        EXPECT_EQ(run.status, static_cast<std::uint32_t>(code));
      }
      EXPECT_TRUE(EndsWithReport(run.output, run.status)) << run.output;
    }
  }
  std::cout << "[ sweep    ] " << scenario.name << ": " << counted.calls.size()
            << " platform calls, " << failed << " failed runs\n";
  RecordProperty("failed_calls", failed);
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace zub::testing
