// Every platform call of a whole run, failed in turn, and interrupted in
// turn.
//
// A first run counts the calls, and shows the order in which the settings
// file is rewritten; then the run is repeated once per call, with that call
// failing with an error that suits its kind, and once more with SIGTERM
// raised just before the call. A failed run must end with the failing
// call's code as exit status and in the report line, unless the failure
// only sends the rewrite another way; an interrupted run must end by the
// signal. Each must leave the settings file either as it was or completely
// converted, never damaged, with its mode, owner and extended attributes,
// and no temporary file beside it.
//
// Each run takes place in a child process of its own, so that it starts
// from fresh process-wide state, as the tool does: a run that fails keeps
// the tool's files open, which the next run in the same process would find.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>

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

// The errors a failing call is given, by kind in the order of Call. Some
// only send the rewrite another way: an unnamed temporary file that the
// file system cannot make (EOPNOTSUPP), metadata that cannot be carried
// over (EPERM), a rename across devices (EXDEV).
const std::vector<PlatformCode> kCodes[kCallKinds] = {
    {ENOENT, EACCES},      // open_read
    {EACCES},              // open_write
    {EACCES},              // open_update
    {EACCES},              // probe_write
    {EWOULDBLOCK},         // lock
    {EIO},                 // link_count
    {EOPNOTSUPP, ENOSPC},  // create_unnamed
    {ENOSPC},              // create_temporary
    {EPERM},               // copy_metadata
    {ENOSPC},              // name_temporary
    {EXDEV, EIO},          // replace
    {EIO},                 // sync_folder
    {ENOSPC},              // reserve
    {EIO},                 // write_at
    {EIO},                 // truncate
    {EBADF},               // std_handle
    {EIO},                 // read
    {ENOSPC},              // write
    {EIO},                 // sync
    {EIO},                 // close
    {ENOENT},              // resolve
    {EIO},                 // remove
    {EINVAL},              // watch_interrupts
};

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

using Calls = std::vector<Call>;

struct Scenario {
  const char* name;
  std::string log;
  std::string settings;
  std::string patched;  // the settings file after a complete run
  std::string message;  // the run's last message before the prompt
  // A second name of the settings file, which sends the rewrite in place.
  const char* link = nullptr;
  // The system makes no unnamed temporary files.
  bool named_only = false;
  // The call after which the settings file is the new one, and the calls
  // of the rewrite from the write probe to the one after that, each run of
  // one kind as one.
  Call commit = Call::kAny;
  Calls order = {};
};

// Logs and settings longer than one 128-byte piece, so that reading and
// writing each take several calls.
std::string Numbered(const std::string& stem, int count) {
  std::string text;
  for (int k = 1; k <= count; ++k) text += stem + std::to_string(k) + "\r\n";
  return text;
}

const std::string kLog = Numbered("log line zub=", 12);
const std::string kSettings = Numbered("setting ", 20) + "x zub=7 y\r\n";
const std::string kPatched = Numbered("setting ", 20) + "x zub=12 y\r\n";

const Scenario kScenarios[] = {
    {"Conversion",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     false,
     Call::kReplace,
     {Call::kProbeWrite, Call::kResolve, Call::kWatchInterrupts, Call::kCreateUnnamed,
      Call::kCopyMetadata, Call::kWrite, Call::kSync, Call::kNameTemporary, Call::kClose,
      Call::kReplace, Call::kSyncFolder}},
    {"NamedTemporary",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     true,
     Call::kReplace,
     {Call::kProbeWrite, Call::kResolve, Call::kWatchInterrupts, Call::kCreateUnnamed,
      Call::kCreateTemporary, Call::kCopyMetadata, Call::kWrite, Call::kSync, Call::kNameTemporary,
      Call::kClose, Call::kReplace, Call::kSyncFolder}},
    // Shorter than before, so that the file is cut to its new length.
    {"InPlace",
     kLog,
     Numbered("setting ", 20) + "x zub=7777 y\r\n",
     kPatched,
     "ZUB converted\r\n",
     "link.ini",
     false,
     Call::kSync,
     {Call::kProbeWrite, Call::kOpenUpdate, Call::kLock, Call::kRead, Call::kReserve,
      Call::kWriteAt, Call::kTruncate, Call::kSync, Call::kClose}},
    {"NoTagInSettings", kLog, Numbered("setting ", 20), Numbered("setting ", 20),
     "Bad file InBetween.ini, zub= not found\r\n"},
    {"NoTagInLog", Numbered("log line ", 12), "zub=7\r\n", "zub=7\r\n",
     "Something is wrong, ZUB not found\r\n"},
};

// Who may do what with a file, and what is kept beside its content.
struct Metadata {
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  std::string attributes;  // names and values

  bool operator==(const Metadata&) const = default;
};

Metadata MetadataOf(const fs::path& path) {
  Metadata metadata;
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return metadata;
  metadata.mode = status.st_mode & 07777;
  metadata.owner = status.st_uid;
  metadata.group = status.st_gid;
  char names[4096];
  ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < size;) {
    const std::string name(names + at);
    char value[4096];
    ssize_t length = ::getxattr(path.c_str(), name.c_str(), value, sizeof value);
    metadata.attributes +=
        name + "=" + std::string(value, static_cast<std::size_t>(std::max(length, ssize_t{0}))) +
        ";";
    at += static_cast<ssize_t>(name.size()) + 1;
  }
  return metadata;
}

struct Outcome {
  bool ended = false;
  int signal = 0;  // the signal that ended the run, if one did
  std::uint32_t status = 0;
  std::vector<Call> calls;
  std::string output;
  std::string log;
  std::string settings;
  Metadata settings_metadata;
  std::set<std::string> entries;  // of the folder that holds both files
};

// The settings file's metadata before every run: a user attribute where the
// file system keeps them.
Metadata Prepare(const fs::path& settings) {
  ::chmod(settings.c_str(), kSettingsMode);
  (void)::setxattr(settings.c_str(), "user.zub-test", "kept", 4, 0);
  return MetadataOf(settings);
}

enum class Plan { kNothing, kFail, kSignal };

// One whole run in a fresh folder below `root`; the `at`-th platform call
// fails with `code`, or is preceded by the signal `code`, as `plan` says.
Outcome RunOnce(const fs::path& root, const Scenario& scenario, Plan plan = Plan::kNothing,
                int at = 0, int code = 0) {
  const fs::path folder = root / "files";
  fs::remove_all(root);
  fs::create_directories(folder);
  WriteFile(folder / "log.001", scenario.log);
  WriteFile(folder / "InBetween.ini", scenario.settings);
  Prepare(folder / "InBetween.ini");
  if (scenario.link != nullptr)
    fs::create_hard_link(folder / "InBetween.ini", folder / scenario.link);
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
    if (scenario.named_only) fake.FailAlways(Call::kCreateUnnamed, EOPNOTSUPP);
    if (plan == Plan::kFail) fake.FailNth(Call::kAny, at, code);
    if (plan == Plan::kSignal) fake.SignalAtNth(Call::kAny, at, code);
    std::uint32_t status = ExitStatusOf([&] { RunZub(3, argv); });
    // The exit status, then one byte per platform call.
    std::string message(reinterpret_cast<const char*>(&status), sizeof status);
    for (Call call : fake.Log()) message += static_cast<char>(call);
    WriteFile(root / "calls", message);
    ::_exit(0);
  }
  int child_status = 0;
  ::waitpid(child, &child_status, 0);
  if (WIFSIGNALED(child_status)) outcome.signal = WTERMSIG(child_status);
  const std::string message = ReadFile(root / "calls");
  if (message.size() >= sizeof outcome.status && WIFEXITED(child_status)) {
    std::copy_n(message.data(), sizeof outcome.status, reinterpret_cast<char*>(&outcome.status));
    outcome.ended = outcome.status != 0xDEADBEEF;
    for (std::size_t i = sizeof outcome.status; i < message.size(); ++i) {
      outcome.calls.push_back(static_cast<Call>(message[i]));
    }
  }
  outcome.output = ReadFile(root / "output");
  outcome.log = ReadFile(folder / "log.001");
  outcome.settings = ReadFile(folder / "InBetween.ini");
  outcome.settings_metadata = MetadataOf(folder / "InBetween.ini");
  if (scenario.link != nullptr && ReadFile(folder / scenario.link) != outcome.settings) {
    outcome.settings += " (the second name holds other bytes)";
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
    const Scenario& scenario = GetParam();
    files_ = {"InBetween.ini", "log.001"};
    if (scenario.link != nullptr) files_.insert(scenario.link);
    WriteFile(root_ / "model", "");
    metadata_ = Prepare(root_ / "model");

    counted_ = RunOnce(root_, scenario);
    ASSERT_TRUE(counted_.ended);
    ASSERT_EQ(counted_.status, 0u);
    ASSERT_TRUE(counted_.output.ends_with(scenario.message + kPrompt)) << counted_.output;
    ASSERT_EQ(counted_.settings, scenario.patched);
    ASSERT_EQ(counted_.settings_metadata, metadata_);
    // The settings file is new from the commit on; before it, the old one.
    const auto commit = std::find(counted_.calls.rbegin(), counted_.calls.rend(), scenario.commit);
    committed_after_ = static_cast<std::size_t>(counted_.calls.rend() - commit);
    if (commit == counted_.calls.rend()) committed_after_ = counted_.calls.size() + 1;
  }
  void TearDown() override { fs::remove_all(root_); }

  // What every run must leave: the log, the files and the settings file's
  // metadata as they were, and the settings file old or new.
  void ExpectSound(const Outcome& run) const {
    const Scenario& scenario = GetParam();
    EXPECT_EQ(run.log, scenario.log);
    EXPECT_EQ(run.entries, files_);
    EXPECT_EQ(run.settings_metadata, metadata_);
    EXPECT_TRUE(run.settings == scenario.settings || run.settings == scenario.patched)
        << run.settings;
  }

  fs::path root_;
  std::set<std::string> files_;
  Metadata metadata_;
  Outcome counted_;
  std::size_t committed_after_ = 0;
};

// The rewrite's calls come in this order; a missing sync or a sync in the
// wrong place would not show in the sweeps below.
TEST_P(FaultSweep, RewritesInOrder) {
  Calls order;
  const auto probe = std::find(counted_.calls.begin(), counted_.calls.end(), Call::kProbeWrite);
  const auto end = counted_.calls.begin() +
                   static_cast<std::ptrdiff_t>(std::min(committed_after_, counted_.calls.size()));
  for (auto call = probe; call < end + 1 && call < counted_.calls.end(); ++call) {
    if (order.empty() || order.back() != *call) order.push_back(*call);
  }
  std::vector<std::string_view> names;
  for (Call call : order) names.push_back(CallName(call));
  std::vector<std::string_view> expected;
  for (Call call : GetParam().order) expected.push_back(CallName(call));
  EXPECT_EQ(names, expected);
}

TEST_P(FaultSweep, EveryFailedCallEndsCleanly) {
  const Scenario& scenario = GetParam();
  int failed = 0;
  for (std::size_t n = 1; n <= counted_.calls.size(); ++n) {
    const Call call = counted_.calls[n - 1];
    for (PlatformCode code : kCodes[static_cast<int>(call)]) {
      ++failed;
      SCOPED_TRACE(::testing::Message()
                   << "call " << n << " (" << CallName(call) << ") fails with " << code);
      const Outcome run = RunOnce(root_, scenario, Plan::kFail, static_cast<int>(n), code);
      ASSERT_TRUE(run.ended);
      ExpectSound(run);
      // New once the commit is made, and after a complete run; else old.
      const bool converted = run.status == 0 || n > committed_after_;
      EXPECT_EQ(run.settings, converted ? scenario.patched : scenario.settings);
      if (run.status == 0) {
        // The ending's last write-out of standard output fails unseen: the
        // run has ended as it would have, only its output is cut.
        if (call == Call::kWrite && n == counted_.calls.size()) {
          EXPECT_TRUE(counted_.output.starts_with(run.output)) << run.output;
          EXPECT_LT(run.output.size(), counted_.output.size());
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
  std::cout << "[ sweep    ] " << scenario.name << ": " << counted_.calls.size()
            << " platform calls, " << failed << " failed runs\n";
  RecordProperty("failed_calls", failed);
}

// SIGTERM at any moment ends the run by SIGTERM, as without the tool's
// handler, and leaves no temporary file.
TEST_P(FaultSweep, EveryInterruptEndsBySignalAndLeavesNothing) {
  for (std::size_t n = 1; n <= counted_.calls.size(); ++n) {
    SCOPED_TRACE(::testing::Message()
                 << "SIGTERM before call " << n << " (" << CallName(counted_.calls[n - 1]) << ")");
    const Outcome run = RunOnce(root_, GetParam(), Plan::kSignal, static_cast<int>(n), SIGTERM);
    EXPECT_EQ(run.signal, SIGTERM);
    ExpectSound(run);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace zub::testing
