// Every platform call of a whole run, failed in turn with every code it may
// give (platform_calls.h), and interrupted in turn.
//
// A first run counts the calls, and shows that the steps that must come in
// order do; then the run is repeated once per call and code, with that call
// failing, once with the run ended through the report just before the call
// (as out of memory ends it), and once more with an interrupt (SIGTERM; on
// Windows Ctrl+Break) just before the call. A failed run must end with the
// failing call's code as exit status and in the report line, unless the
// product sends the rewrite another way for that code (OnlyInPlace); an
// interrupted run must end as the interrupt ends a process without the
// tool's handler. Each must leave the settings file either as it was or
// completely converted, never damaged, with its metadata (mode, owner and
// extended attributes; on Windows owner, group, DACL and attributes), and no
// temporary file beside it.
//
// Each run takes place in a child process of its own, so that it starts
// from fresh process-wide state, as the tool does: a run that fails keeps
// the tool's files open, which the next run in the same process would find.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "runtime/platform_win32.h"
#else
#include "runtime/platform_posix.h"
#endif
#include "support/fake_sys.h"
#include "support/files.h"
#include "support/host.h"
#include "tool/zub.h"

namespace zub::testing {
namespace {

namespace fs = std::filesystem;

const std::string kPrompt = "Press ENTER to close ZUB Window\r\n";

using Calls = std::vector<Call>;

// The place (from 1) of the first of `calls` from `from` on that is one of
// `wanted`, or 0.
std::size_t Find(const Calls& calls, std::initializer_list<Call> wanted, std::size_t from = 1) {
  for (std::size_t n = std::max<std::size_t>(from, 1); n <= calls.size(); ++n) {
    if (std::find(wanted.begin(), wanted.end(), calls[n - 1]) != wanted.end()) return n;
  }
  return 0;
}
// The place of the last of `calls` before `before` that is `call`, or 0.
std::size_t Last(const Calls& calls, Call call, std::size_t before = SIZE_MAX) {
  for (std::size_t n = std::min(before, calls.size() + 1); n-- > 1;) {
    if (calls[n - 1] == call) return n;
  }
  return 0;
}

// The way a run takes where the n-th of the counted `calls` fails with
// `code`, as the product decides it: a step of a replacement that fails with
// a code of OnlyInPlace, or any code where the new file cannot take over the
// old one's metadata, sends the rewrite in place; a file system without
// unnamed files takes a named one; letting the folder go once the file is
// done, or the last write-out of standard output, harms nothing. All else
// is reported with its code.
enum class Way { kReported, kInPlace, kNamed, kUnharmed };
Way WayOf(const Calls& calls, std::size_t n, PlatformCode code) {
  const Call call = calls[n - 1];
  if (call == Call::kCreateUnnamed && code == NativeCalls().not_supported) return Way::kNamed;
  // The replacement: from the temporary file's making to the rename, or
  // to the rewrite in place that the counted run took instead.
  const std::size_t begin = Find(calls, {Call::kCreateUnnamed, Call::kCreateTemporary});
  std::size_t end = Find(calls, {Call::kReplace}, begin);
  if (end == 0) end = Find(calls, {Call::kOpenUpdate, Call::kRemove}, begin) - 1;
  if (begin != 0 && begin <= n && n <= end) {
    // The new file given up: its handle let go, unchecked.
    if (call == Call::kCopyMetadata ||
        (call == Call::kClose && calls[n - 2] == Call::kCopyMetadata))
      return Way::kInPlace;
    // A disk without room for a second copy, a quota spent, or a folder or
    // mount point that refuses a new name may still take the new content
    // where the old one stands, whatever else may.
    const bool refused = code == host::kCodes.no_space || code == host::kCodes.quota ||
                         code == host::kCodes.not_permitted;
    return OnlyInPlace(code) || refused ? Way::kInPlace : Way::kReported;
  }
  if (n == calls.size() && call == Call::kWrite) return Way::kUnharmed;
  const std::size_t rewrite = Find(calls, {Call::kProbeWrite, Call::kOpenStream});
  const bool rewritten = rewrite != 0 && rewrite < n;
  if (call == Call::kClose && rewritten && !Find(calls, {Call::kClose}, n + 1))
    return Way::kUnharmed;
  return Way::kReported;
}

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

struct Scenario {
  const char* name;
  std::string log = kLog;
  std::string settings = kSettings;
  std::string patched = kPatched;             // the settings file after a complete run
  std::string message = "ZUB converted\r\n";  // the last message before the prompt
  // A second name of the settings file, which sends the rewrite in place.
  const char* link = nullptr;
  // How the system differs from the one the tests run on, where this one
  // can be made to (host::InjectSystemFault).
  std::vector<host::SystemFault> faults = {};
  // The last call after which the settings file is the new one (the open
  // of a stream: the write after it).
  Call commit = Call::kAny;
  // Without its faults the scenario would be another: where this system
  // cannot make them, it is left out.
  bool needs_faults = false;
  // Another program's holds on the files (host::InjectHold), and the exit
  // status of a run that they end.
  std::vector<host::Hold> holds = {};
  std::uint32_t status = 0;
  // Only every failed call: an interrupt or a swap meets the same steps as
  // in the scenarios without such holds.
  bool failures_only = false;
  // The settings file is taken for a pipe: written back as a stream.
  bool stream = false;
};

using Fault = host::SystemFault;
using Held = host::HeldCall;
using host::kAlways;
using host::kHeld;

// A hold on every call, failing `times` tries, the codes taken in turn from
// the `first`-th on (so that the open to delete the settings file meets a
// sharing or lock violation: access denied there is the file's own).
std::vector<host::Hold> Holds(int times, std::size_t first) {
  std::vector<host::Hold> holds;
  for (std::size_t call = 0; call < host::kHeldCalls; ++call) {
    holds.push_back({static_cast<Held>(call), times, kHeld[(first + call) % std::size(kHeld)]});
  }
  return holds;
}

const std::string kShorter = Numbered("setting ", 20) + "x zub=7777 y\r\n";
const std::string kSameLength = Numbered("setting ", 20) + "x zub=77 y\r\n";
const std::string kPrefix = Numbered("setting ", 20) + "x zub=";
const std::string kPrefixPatched = Numbered("setting ", 20) + "x zub=12\r\n";

// A run that converts, new from `commit` on, on a system that differs by
// `faults`, with other programs' `holds`.
Scenario Converting(const char* name, Call commit, std::vector<Fault> faults,
                    std::vector<host::Hold> holds = {}, bool needs_faults = false) {
  return {.name = name,
          .faults = std::move(faults),
          .commit = commit,
          .needs_faults = needs_faults,
          .holds = std::move(holds)};
}

// A scenario made by its faults and holds alone. Holds that end the run end
// it with `status`, the settings file as it was.
Scenario Holding(const char* name, Call commit, std::vector<host::Hold> holds,
                 std::uint32_t status = 0, std::vector<Fault> faults = {}) {
  Scenario row = Converting(name, commit, std::move(faults), std::move(holds), true);
  row.status = status;
  row.failures_only = true;
  if (status != 0) {
    row.patched = row.settings;
    row.message = "";
  }
  return row;
}

// A rewrite in place: the settings file has a second name.
Scenario InPlace(const char* name, const std::string& settings, const std::string& patched,
                 std::vector<Fault> faults = {}) {
  Scenario row = Converting(name, Call::kSync, std::move(faults));
  row.settings = settings;
  row.patched = patched;
  row.link = "link.ini";
  return row;
}

const Scenario kScenarios[] = {
    // The first name drawn for the new file's name is taken; writes take a
    // few bytes at a time; a writer comes while the log is checked for one.
    // Files differ only in the upper half of their index. Every call that
    // meets another program's hold fails once, then thrice, and the run
    // waits it out on the same way.
    Converting(
        "Conversion", Call::kReplace,
        {Fault::kTakenName, Fault::kShortWrites, Fault::kWriterAtLease, Fault::kHighFileIndex},
        Holds(1, 2)),
    Converting(
        "NamedTemporary", Call::kReplace,
        {Fault::kNoUnnamedFiles, Fault::kTakenName, Fault::kNoReplacement, Fault::kNoFolderSync},
        Holds(3, 3)),
    // ReplaceFileW has moved the old file to its backup name and cannot
    // move the new one: the new one takes the name once a hold of the move
    // has passed, or, where it cannot be moved at all, the old one goes back.
    Holding("MovedAway", Call::kReplace, {{Held::kMoveFile, 3, kHeld[2]}}, 0, {Fault::kMovedAway}),
    // Holds that last. ReplaceFileW and the move are refused: rewritten in
    // place, once the temporary file's removal has waited. The old file
    // cannot be removed once replaced: left, the file converted; there each
    // name is found missing once, as during another run's replacement. The
    // log, or the settings file, cannot be opened: refused, unchanged.
    Holding("HeldInPlace", Call::kSync,
            {{Held::kReplaceFile, kAlways, kHeld[3]},
             {Held::kMoveFile, kAlways, kHeld[0]},
             {Held::kRemove, 3, kHeld[1]}}),
    Holding("HeldOldFile", Call::kReplace,
            {{Held::kRemoveOld, kAlways, kHeld[1]},
             {Held::kOpenLog, 1, host::kCodes.not_found},
             {Held::kReadSettings, 1, host::kCodes.not_found},
             {Held::kWriteSettings, 1, host::kCodes.not_found}}),
    Holding("HeldLog", Call::kAny, {{Held::kOpenLog, kAlways, kHeld[2]}}, 33),
    Holding("HeldSettings", Call::kAny, {{Held::kWriteSettings, kAlways, kHeld[0]}}, 5),
    // No extended attributes, no /proc, folders that may only be searched.
    Converting("PlainSystem", Call::kReplace,
               {Fault::kNoAttributes, Fault::kNoProc, Fault::kUnreadableFolder}),
    // An attribute, or an inode flag, that cannot be given to a new file:
    // rewritten in place. The first on a kernel that refuses unnamed files
    // as old ones do.
    Converting("AttributeRefused", Call::kSync, {Fault::kAttributeRefused, Fault::kOldKernel}, {},
               /*needs_faults=*/true),
    Converting("FlagRefused", Call::kSync, {Fault::kFlagRefused}, {}, /*needs_faults=*/true),
    // Shorter than before, so that the file is cut to its new length; as long
    // as before; longer, its old content the start of the new, with writes
    // of a few bytes at a time, and where no room can be taken before them.
    InPlace("InPlace", kShorter, kPatched),
    InPlace("InPlaceSameLength", kSameLength, kPatched),
    InPlace("InPlaceGrowing", kPrefix, kPrefixPatched, {Fault::kShortWrites}),
    InPlace("InPlaceGrowingWithoutReservation", kPrefix, kPrefixPatched, {Fault::kNoReservation}),
    // A pipe or a device: the lines go back as a stream, and only there.
    {.name = "Stream", .commit = Call::kOpenStream, .stream = true},
    {.name = "NoTagInSettings",
     .settings = Numbered("setting ", 20),
     .patched = Numbered("setting ", 20),
     .message = "Bad file InBetween.ini, zub= not found\r\n"},
    {.name = "NoTagInLog",
     .log = Numbered("log line ", 12),
     .settings = "zub=7\r\n",
     .patched = "zub=7\r\n",
     .message = "Something is wrong, ZUB not found\r\n"},
};

bool Has(const Scenario& scenario, Fault fault) {
  return std::find(scenario.faults.begin(), scenario.faults.end(), fault) != scenario.faults.end();
}

// Where the replaced file cannot be removed, it is left behind.
bool LeavesFiles(const Scenario& scenario) {
  return std::any_of(scenario.holds.begin(), scenario.holds.end(), [](const host::Hold& hold) {
    return hold.call == Held::kRemoveOld && hold.times == kAlways;
  });
}

// A temporary file of a run; the file at the taken name was there before.
bool IsTemporary(const std::string& name) {
  return name.starts_with(".zub-") && name != host::kTakenName;
}

// The names in `folder`, but for files of the run left behind where
// `leftovers`.
std::set<std::string> Entries(const fs::path& folder, bool leftovers) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (!leftovers || !IsTemporary(name)) names.insert(name);
  }
  return names;
}

struct Outcome {
  bool ended = false;        // the run ended as the tool ends, and told how
  bool interrupted = false;  // an interrupt ended it
  std::uint32_t status = 0;
  std::vector<Call> calls;
  std::string output;
  std::string log;
  std::string settings;
  std::string settings_metadata;
  std::set<std::string> entries;  // of the folder that holds both files
};

enum class Plan {
  kNothing,
  kFail,
  kReportEnd,
  kInterrupt,
  kIgnoredInterrupt,
  kSwapFile,
  kSwapFolder,
  kSwapLink
};

// What someone who may write the folders puts where the settings file was:
// a file without a tag, which no run may change.
const std::string kDecoy = "root only\r\n";
fs::path SwapRoot;  // the child's root

// The settings file is renamed (where the system lets it: Windows refuses
// while the run holds it open), and the decoy, or a symbolic link to the
// file (where the system makes one; otherwise nothing changes), takes its
// name.
template <bool kLink>
void SwapFile() {
  const fs::path folder = SwapRoot / "files";
  std::error_code refused;
  fs::rename(folder / "InBetween.ini", folder / "moved.ini", refused);
  if (!refused && !kLink) WriteFile(folder / "InBetween.ini", kDecoy);
  if (!refused && kLink) fs::create_symlink("moved.ini", folder / "InBetween.ini", refused);
  if (refused && kLink) fs::rename(folder / "moved.ini", folder / "InBetween.ini", refused);
}

// The folder is renamed (where the system lets it), and a new one with the
// log and the decoy takes its name.
void SwapFolder() {
  std::error_code refused;
  fs::rename(SwapRoot / "files", SwapRoot / "moved", refused);
  if (refused) return;
  fs::create_directory(SwapRoot / "files");
  fs::copy_file(SwapRoot / "moved" / "log.001", SwapRoot / "files" / "log.001");
  WriteFile(SwapRoot / "files" / "InBetween.ini", kDecoy);
}

// The run of one child, as its job says: scenario, plan, call and code,
// then its root. The exit status, then one byte per platform call, go to
// the file "calls" there.
void Run(const std::string& job) {
  std::istringstream fields(job);
  std::size_t index = 0;
  int plan_number = 0, at = 0;
  PlatformCode code = 0;
  std::string root;
  fields >> index >> plan_number >> at >> code;
  std::getline(fields >> std::ws, root);
  SwapRoot = root;
  const auto plan = static_cast<Plan>(plan_number);
  const Scenario& scenario = kScenarios[index];
  const fs::path folder = SwapRoot / "files";
  std::string log_path = (folder / "log.001").string();
  std::string settings_path = (folder / "InBetween.ini").string();
  char name[] = "zub";
  char* argv[] = {name, log_path.data(), settings_path.data(), nullptr};
  FakeSys fake;
  // The arguments as main is given them, on every platform.
  Sys.command_line = [] { return static_cast<const char*>(nullptr); };
  fake.SetStdHandles(host::OpenFile(SwapRoot / "input", false),
                     host::OpenFile(SwapRoot / "output", true));
  for (Fault fault : scenario.faults) {
    if (!host::InjectSystemFault(fault) && fault == Fault::kNoUnnamedFiles) {
      fake.FailAlways(Call::kCreateUnnamed, NativeCalls().not_supported);
    }
  }
  for (const host::Hold& hold : scenario.holds) host::InjectHold(hold);
  if (scenario.stream) fake.TakeForStream(settings_path);
  if (plan == Plan::kNothing) {
    // What the file holds when the first byte is written in place: as it was.
    fake.ActAtNth(Call::kWriteAt, 1, [] {
      fs::copy_file(SwapRoot / "files" / "InBetween.ini", SwapRoot / "before write");
    });
    // The new file, where it can be seen before it takes over the old one's
    // metadata, grants nobody more than the old one does.
    fake.ActAtNth(Call::kCopyMetadata, 1, [] {
      for (const auto& entry : fs::directory_iterator(SwapRoot / "files")) {
        if (!IsTemporary(entry.path().filename().string())) continue;
        const auto wider = entry.status().permissions() &
                           ~fs::status(SwapRoot / "files" / "InBetween.ini").permissions();
        WriteFile(SwapRoot / "wider", std::to_string(static_cast<unsigned>(wider)));
      }
    });
    // The log's writer opens it again while it is read, as it may: nothing
    // the run has done to the log may hold the writer up, or end the run.
    fake.ActAtNth(Call::kRead, 1,
                  [] { std::ofstream(SwapRoot / "files" / "log.001", std::ios::app); });
  }
  // An interrupt: the code names which; an ignored one is ignored from the
  // start, as under nohup. The run ends through the report as where memory
  // runs out.
  if (plan == Plan::kFail) fake.FailNth(Call::kAny, at, code);
  if (plan == Plan::kReportEnd) fake.ActAtNth(Call::kAny, at, [] { std::get_new_handler()(); });
  if (plan == Plan::kInterrupt || (plan == Plan::kIgnoredInterrupt && host::IgnoreInterrupt(code)))
    fake.InterruptAtNth(Call::kAny, at, code);
  void (*const swaps[])() = {SwapFile<false>, SwapFolder, SwapFile<true>};  // as Plan orders them
  if (plan >= Plan::kSwapFile)
    fake.ActAtNth(Call::kAny, at, swaps[plan_number - static_cast<int>(Plan::kSwapFile)]);
  std::uint32_t status = ExitStatusOf([&] { RunZub(3, argv); });
  std::string message(reinterpret_cast<const char*>(&status), sizeof status);
  for (Call call : fake.Log()) message += static_cast<char>(call);
  WriteFile(SwapRoot / "calls", message);
}

// One whole run in a fresh folder below `root`, in a child process; the
// `at`-th platform call fails with `code`, or is preceded by an interrupt,
// as `plan` says.
Outcome RunOnce(const fs::path& root, std::size_t scenario_index, Plan plan = Plan::kNothing,
                std::size_t at = 0, PlatformCode code = 0) {
  const Scenario& scenario = kScenarios[scenario_index];
  const fs::path folder = root / "files";
  fs::remove_all(root);
  fs::create_directories(folder);
  WriteFile(folder / "log.001", scenario.log);
  WriteFile(folder / "InBetween.ini", scenario.settings);
  host::GiveMetadata(folder / "InBetween.ini", !Has(scenario, Fault::kNoAttributes));
  if (Has(scenario, Fault::kTakenName)) WriteFile(folder / host::kTakenName, "taken");
  if (scenario.link != nullptr)
    fs::create_hard_link(folder / "InBetween.ini", folder / scenario.link);
  WriteFile(root / "input", "");

  Outcome outcome;
  std::ostringstream job;
  job << scenario_index << ' ' << static_cast<int>(plan) << ' ' << at << ' ' << code << ' '
      << root.string();
  const host::ChildEnd end = host::RunChild(Run, job.str());
  outcome.interrupted = end.interrupted;
  const std::string message = ReadFile(root / "calls");
  if (message.size() >= sizeof outcome.status) {
    std::copy_n(message.data(), sizeof outcome.status, reinterpret_cast<char*>(&outcome.status));
    outcome.ended = outcome.status != 0xDEADBEEF;
    for (const char call : message.substr(sizeof outcome.status))
      outcome.calls.push_back(static_cast<Call>(call));
  }
  outcome.output = ReadFile(root / "output");
  outcome.log = ReadFile(folder / "log.001");
  outcome.settings = ReadFile(folder / "InBetween.ini");
  outcome.settings_metadata = host::MetadataOf(folder / "InBetween.ini");
  if (scenario.link != nullptr && plan < Plan::kSwapFile &&
      ReadFile(folder / scenario.link) != outcome.settings) {
    outcome.settings += " (the second name holds other bytes)";
  }
  outcome.entries = Entries(folder, LeavesFiles(scenario));
  return outcome;
}

class FaultSweep : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    const Scenario& scenario = Row();
    for (host::SystemFault fault : scenario.faults) {
      if (scenario.needs_faults && !host::CanInjectSystemFault(fault)) {
        GTEST_SKIP() << "this system cannot be made to differ as the scenario needs";
      }
    }
    if (scenario.needs_faults && !scenario.holds.empty() && !host::CanInjectHolds()) {
      GTEST_SKIP() << "this system has no holds of files";
    }
    root_ = host::MakeTempFolder();
    files_ = {"InBetween.ini", "log.001"};
    if (scenario.link != nullptr) files_.insert(scenario.link);
    if (Has(scenario, Fault::kTakenName)) files_.insert(host::kTakenName);
    WriteFile(root_ / "model", "");
    host::GiveMetadata(root_ / "model", !Has(scenario, Fault::kNoAttributes));
    metadata_ = host::MetadataOf(root_ / "model");

    counted_ = RunOnce(root_, GetParam());
    ASSERT_TRUE(counted_.ended);
    ASSERT_EQ(counted_.status, scenario.status);
    ASSERT_TRUE(EndsAsRow(counted_)) << counted_.output;
    ASSERT_EQ(counted_.settings, scenario.patched);
    ASSERT_EQ(counted_.settings_metadata, metadata_);
    if (Find(counted_.calls, {Call::kWriteAt}) != 0) {
      EXPECT_EQ(ReadFile(root_ / "before write"), scenario.settings);
    }
    if (fs::exists(root_ / "wider")) {
      EXPECT_EQ(ReadFile(root_ / "wider"), "0");
    }
    // The settings file is new from the commit on; before it, the old one.
    committed_after_ = Last(counted_.calls, scenario.commit);
    if (committed_after_ == 0) committed_after_ = counted_.calls.size() + 1;
    if (scenario.commit == Call::kOpenStream) ++committed_after_;
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  const Scenario& Row() const { return kScenarios[GetParam()]; }

  // The run ended as the scenario ends, or, where that is with a code, by
  // another way that converts: with the message, or the report.
  bool EndsAsRow(const Outcome& run) const {
    const Scenario& scenario = Row();
    if (run.status != 0)
      return run.status == scenario.status && EndsWithReport(run.output, run.status);
    return run.output.ends_with(scenario.message + kPrompt);
  }

  // What every run must leave: the log, the files and the settings file's
  // metadata as they were, and the settings file old or new.
  // A temporary file whose removal failed is left, and nothing else.
  void ExpectSound(const Outcome& run, bool removal_failed = false, bool whole = true) const {
    const Scenario& scenario = Row();
    EXPECT_EQ(run.log, scenario.log);
    std::set<std::string> entries = run.entries;
    if (removal_failed) std::erase_if(entries, IsTemporary);
    EXPECT_EQ(entries, files_);
    EXPECT_EQ(run.settings_metadata, metadata_);
    EXPECT_TRUE(!whole || run.settings == scenario.settings || run.settings == scenario.patched)
        << run.settings;
  }

  fs::path root_;
  std::set<std::string> files_;
  std::string metadata_;
  Outcome counted_;
  std::size_t committed_after_ = 0;
};

// The steps whose order matters come in that order: nothing of the rewrite
// before the probe; a replacement watches interrupts before its temporary
// file exists, syncs the new content before the file gets its name and
// takes the old one's, takes the metadata after the content, and syncs the
// folder after the rename; a rewrite in place locks before it reads the old
// bytes, takes room before it writes, cuts the length after the bytes and
// syncs after both; a stream is written once it is open. The sweeps below
// would not see a missing sync or one in the wrong place.
TEST_P(FaultSweep, RewritesInOrder) {
  const Calls& calls = counted_.calls;
  const Call commit = Row().commit;
  const std::size_t probe = Find(calls, {Call::kProbeWrite});
  const std::size_t first =
      Find(calls, {Call::kWatchInterrupts, Call::kCreateUnnamed, Call::kCreateTemporary,
                   Call::kOpenUpdate, Call::kOpenStream});
  if (commit == Call::kAny) {
    EXPECT_EQ(first, 0u);
    return;
  }
  if (commit == Call::kOpenStream) {
    const std::size_t open = Find(calls, {Call::kOpenStream});
    EXPECT_EQ(Find(calls, {Call::kWrite}, open), open + 1);
    return;
  }
  EXPECT_TRUE(probe != 0 && probe < first) << probe << " " << first;
  if (commit == Call::kReplace) {
    const std::size_t replace = Find(calls, {Call::kReplace});
    const std::size_t created = Find(calls, {Call::kCreateUnnamed, Call::kCreateTemporary});
    const std::size_t written = Last(calls, Call::kWrite, replace);
    const std::size_t synced = Last(calls, Call::kSync, replace);
    const std::size_t named = Find(calls, {Call::kNameTemporary});
    EXPECT_TRUE(Find(calls, {Call::kWatchInterrupts}) < created);
    EXPECT_TRUE(created < written && written < Find(calls, {Call::kCopyMetadata}) &&
                Find(calls, {Call::kCopyMetadata}) < replace);
    EXPECT_TRUE(written < synced && synced < named && named < replace) << synced << " " << named;
    EXPECT_LT(replace, Find(calls, {Call::kSyncFolder}, replace));
    return;
  }
  const std::size_t open = Last(calls, Call::kOpenUpdate);
  const std::size_t lock = Find(calls, {Call::kLock}, open);
  const std::size_t read = Find(calls, {Call::kRead}, open);
  const std::size_t reserve = Find(calls, {Call::kReserve}, open);
  const std::size_t written = Last(calls, Call::kWriteAt);
  const std::size_t cut = Find(calls, {Call::kTruncate}, open);
  const std::size_t synced = Find(calls, {Call::kSync}, open);
  EXPECT_TRUE(open != 0 && open < lock && lock < read && read < reserve) << open << " " << lock;
  EXPECT_TRUE(reserve < Find(calls, {Call::kWriteAt}, open) && written < synced);
  EXPECT_TRUE(cut == 0 || (written < cut && cut < synced)) << cut;
  EXPECT_EQ(Find(calls, {Call::kClose}, synced), synced + 1);
}

TEST_P(FaultSweep, EveryFailedCallEndsCleanly) {
  const Scenario& scenario = Row();
  const Calls& calls = counted_.calls;
  const std::size_t reserve = Find(calls, {Call::kReserve});
  int failed = 0;
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    const Call call = calls[n - 1];
    // A system without unnamed files fails every such call already.
    if (Has(scenario, Fault::kNoUnnamedFiles) && call == Call::kCreateUnnamed) continue;
    for (PlatformCode code : CodesOf(call)) {
      ++failed;
      SCOPED_TRACE(::testing::Message()
                   << "call " << n << " (" << CallName(call) << ") fails with " << code);
      const Outcome run = RunOnce(root_, GetParam(), Plan::kFail, n, code);
      ASSERT_TRUE(run.ended);
      const Way way = WayOf(calls, n, code);
      ExpectSound(run, call == Call::kRemove && way == Way::kReported);
      // New once the commit is made, and after a complete run; else old.
      const bool converted = n > committed_after_ || (way != Way::kReported && EndsAsRow(run));
      EXPECT_EQ(run.settings, converted ? scenario.patched : scenario.settings);
      const std::size_t after = n + 1;  // the calls the run made after the failed one
      if (way == Way::kInPlace || way == Way::kNamed) {
        const Call then = way == Way::kNamed ? Call::kCreateTemporary : Call::kOpenUpdate;
        EXPECT_NE(Find(run.calls, {then}, after), 0u) << CallName(then);
      }
      if (way == Way::kUnharmed && n == calls.size()) {
        // Only the ending's last write-out of standard output is cut.
        EXPECT_TRUE(counted_.output.starts_with(run.output)) << run.output;
        EXPECT_LT(run.output.size(), counted_.output.size());
        continue;
      }
      if (way != Way::kReported) {
        EXPECT_TRUE(EndsAsRow(run)) << run.output;
        continue;
      }
      // A failure while the file is rewritten in place puts the old bytes
      // back, and makes them durable.
      if (reserve != 0 && reserve < n && n <= committed_after_) {
        Calls restore;
        std::copy_if(run.calls.begin() + static_cast<std::ptrdiff_t>(std::min(n, run.calls.size())),
                     run.calls.end(), std::back_inserter(restore), [](Call c) {
                       return c == Call::kWriteAt || c == Call::kTruncate || c == Call::kSync;
                     });
        EXPECT_EQ(restore, (Calls{Call::kWriteAt, Call::kTruncate, Call::kSync}));
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
    // The run ended through the report just before the call leaves nothing
    // behind either; only a rewrite in place cut while it writes may hold
    // a mix, as a crash there would leave it.
    SCOPED_TRACE(::testing::Message()
                 << "report before call " << n << " (" << CallName(call) << ")");
    const Outcome run = RunOnce(root_, GetParam(), Plan::kReportEnd, n);
    EXPECT_EQ(run.status, 203u);
    // Once standard output is had, the report is its last line.
    EXPECT_TRUE(n <= Find(calls, {Call::kStdHandle}) || EndsWithReport(run.output, 203))
        << run.output;
    ExpectSound(run, false, reserve == 0 || n <= reserve || n > committed_after_);
  }
  std::cout << "[ sweep    ] " << scenario.name << ": " << calls.size() << " platform calls, "
            << failed << " failed runs\n";
  RecordProperty("failed_calls", failed);
}

// An interrupt at any moment, each kind in turn, ends the run as it ends one
// without the tool's handler (by that signal; on Windows through the default
// handling), and leaves no temporary file. One that was ignored from the
// start stays ignored: the run ends as it would have without it.
TEST_P(FaultSweep, EveryInterruptEndsAsWithoutHandlerAndLeavesNothing) {
  if (Row().failures_only) GTEST_SKIP() << "the same steps as without its holds";
  for (std::size_t n = 1; n <= counted_.calls.size(); ++n) {
    const int kind = static_cast<int>(n) % host::kInterruptKinds;
    SCOPED_TRACE(::testing::Message() << "interrupt " << kind << " before call " << n << " ("
                                      << CallName(counted_.calls[n - 1]) << ")");
    const Outcome run = RunOnce(root_, GetParam(), Plan::kInterrupt, n, kind);
    EXPECT_TRUE(run.interrupted);
    EXPECT_FALSE(run.ended);
    ExpectSound(run);
    if (!host::CanIgnoreInterrupts()) continue;
    const Outcome ignored = RunOnce(root_, GetParam(), Plan::kIgnoredInterrupt, n, kind);
    EXPECT_FALSE(ignored.interrupted);
    EXPECT_EQ(ignored.status, counted_.status);
    EXPECT_EQ(ignored.settings, counted_.settings);
    EXPECT_EQ(ignored.entries, counted_.entries);
  }
}

// A swap of the settings file, of its folder, or of the file for a link to
// it, at any moment never steers the run onto what the name leads to then:
// the run either refuses, leaving the file it read as it was, or rewrites the
// file it read, wherever it went. A link at the name, put there after the
// file's place was checked and before the last check of its name (the rename,
// or the open for the rewrite in place), is refused: no step follows a link.
TEST_P(FaultSweep, EverySwapOfThePathLeavesTheFileAtTheNameAlone) {
  const Scenario& scenario = Row();
  if (scenario.failures_only) GTEST_SKIP() << "the same steps as without its holds";
  const Calls& calls = counted_.calls;
  const std::size_t checked = Last(calls, Call::kCheckPlace);
  const std::size_t last_check =
      std::max(Last(calls, Call::kReplace), Last(calls, Call::kOpenUpdate));
  for (Plan plan : {Plan::kSwapFile, Plan::kSwapFolder, Plan::kSwapLink}) {
    if (plan == Plan::kSwapLink && !host::CanMakeLinks()) continue;
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE(::testing::Message() << "swap " << static_cast<int>(plan) << " before call " << n
                                        << " (" << CallName(calls[n - 1]) << ")");
      const Outcome run = RunOnce(root_, GetParam(), plan, n);
      ASSERT_TRUE(run.ended);
      // Where the file or the folder may not be renamed, nothing was swapped.
      const bool swapped =
          fs::exists(root_ / (plan == Plan::kSwapFolder ? "moved" : "files/moved.ini"));
      const fs::path folder = root_ / (plan == Plan::kSwapFolder && swapped ? "moved" : "files");
      const fs::path read =
          folder / (plan != Plan::kSwapFolder && swapped ? "moved.ini" : "InBetween.ini");
      const bool converted = EndsAsRow(run) && scenario.patched != scenario.settings;
      EXPECT_EQ(ReadFile(read), converted ? scenario.patched : scenario.settings);
      if (scenario.link != nullptr) {
        EXPECT_EQ(ReadFile(folder / scenario.link), ReadFile(read));
      }
      if (run.status != 0 && !EndsAsRow(run)) {
        EXPECT_EQ(run.status, static_cast<std::uint32_t>(NativeCalls().moved));
        EXPECT_TRUE(EndsWithReport(run.output, run.status)) << run.output;
      }
      // No stray file anywhere; the decoy as it was.
      const std::set<std::string> entries = Entries(folder, LeavesFiles(scenario));
      std::set<std::string> expected = files_;
      if (plan != Plan::kSwapFolder && swapped) expected.insert("moved.ini");
      EXPECT_EQ(entries, expected);
      if (!swapped) continue;
      if (plan == Plan::kSwapLink) {
        EXPECT_TRUE(fs::is_symlink(root_ / "files" / "InBetween.ini"));
        if (n > checked && n <= last_check) {
          EXPECT_EQ(run.status, static_cast<std::uint32_t>(NativeCalls().moved));
        }
        continue;
      }
      EXPECT_EQ(run.settings, kDecoy);
      if (plan == Plan::kSwapFolder) {
        EXPECT_EQ(run.entries, (std::set<std::string>{"InBetween.ini", "log.001"}));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultSweep, ::testing::Range<std::size_t>(0, std::size(kScenarios)),
                         [](const auto& row) { return std::string(kScenarios[row.param].name); });

// A file that differs from the one read in one half of one part of its
// identity (the device, or the inode; on Windows the volume, or the file
// index) is another file to every step that goes by the place.
TEST(Place, EveryStepRefusesAnotherIdentity) {
  const host::TempFolder root;
  const std::string name = (root.path / "InBetween.ini").string();
  WriteFile(name, kSettings);
  FilePlace place;
  Handle file = 0;
  ASSERT_EQ(Sys.locate(name.c_str(), &place), 0);
  ASSERT_EQ(Sys.open_read(name.c_str(), &file), 0);
  ASSERT_EQ(Sys.check_place(file, &place), 0);
  Sys.close(file);
  const PlatformCode moved = NativeCalls().moved;
  const TemporaryFile none{0, "absent", true};
  for (const auto& [volume, index] : {std::pair{1ull, 0ull},
                                      {1ull << 32, 0ull},
                                      {0ull, 1ull},
                                      {0ull, 1ull << 32},
                                      {0ull, 0ull}}) {
    SCOPED_TRACE(::testing::Message() << "volume ^ " << volume << ", index ^ " << index);
    FilePlace other = place;
    other.file.volume ^= volume;
    other.file.index ^= index;
    const PlatformCode expected = volume == 0 && index == 0 ? 0 : moved;
    EXPECT_EQ(Sys.probe_write(other), expected);
    EXPECT_EQ(Sys.open_update(other, &file), expected);
    if (expected == 0) {
      Sys.close(file);
    } else {
      EXPECT_EQ(Sys.replace(other, none), moved);
    }
  }
  Sys.close(place.folder);
  EXPECT_EQ(ReadFile(name), kSettings);
}

// Links and owners on the way to a file, as the layer sees them (owners: 0
// the runner, 1 and 2 two other users, -1 one that may not be read): a link
// of another user leads only to what that user owns, and a folder of
// another user holds only that user's links.
struct LinkCase {
  const char* name;
  const char* path;
  bool refused;
  std::vector<host::Seen> seen;
};

// The row `name`: `path` opened where the layer sees `seen`.
LinkCase Link(const char* name, const char* path, bool refused, std::vector<host::Seen> seen) {
  return {name, path, refused, std::move(seen)};
}

const LinkCase kLinks[] = {
    Link("OthersLinkToRunnersFile", "user/link.ini", true,
         {{"user", false, 1}, {"user/link.ini", true, 1, "secret.ini"}}),
    Link("OthersFolderLinkToRunnersFolder", "user/engine/InBetween.ini", true,
         {{"user", false, 1}, {"user/engine", true, 1, "root"}}),
    Link("ThirdsLinkInOthersFolder", "user/link.ini", true,
         {{"user", false, 1},
          {"user/link.ini", true, 2, "user/own.ini"},
          {"user/own.ini", false, 2}}),
    Link("OthersLinkToItsOwnFile", "user/link.ini", false,
         {{"user", false, 1},
          {"user/link.ini", true, 1, "user/own.ini"},
          {"user/own.ini", false, 1}}),
    Link("RunnersLinkToOthersFile", "user/link.ini", false,
         {{"user/link.ini", true, 0, "user/own.ini"}, {"user/own.ini", false, 1}}),
    Link("LinkOfUnreadableOwner", "user/link.ini", false,
         {{"user", false, 1}, {"user/link.ini", true, -1, "secret.ini"}}),
    // A hard link needs the right to write its file there: plain files are
    // the system's affair.
    Link("RunnersFileInOthersFolder", "user/own.ini", false, {{"user", false, 1}}),
};

TEST(Place, LinksOfAnotherUserLeadOnlyToWhatThatUserOwns) {
  if (!host::CanShowLinks()) GTEST_SKIP() << "links and owners are real here: tests/e2e, as root";
  for (const LinkCase& test : kLinks) {
    SCOPED_TRACE(test.name);
    const host::TempFolder root;
    for (const char* file : {"secret.ini", "user/link.ini", "user/own.ini",
                             "user/engine/InBetween.ini", "root/InBetween.ini"}) {
      fs::create_directories((root.path / file).parent_path());
      WriteFile(root.path / file, kSettings);
    }
    host::ShowLinks(root.path, test.seen);
    const std::string name = (root.path / test.path).string();
    FilePlace place;
    Handle file = 0;
    const PlatformCode located = Sys.locate(name.c_str(), &place);
    const PlatformCode opened = Sys.open_read(name.c_str(), &file);
    if (located == 0) Sys.close(place.folder);
    if (opened == 0) Sys.close(file);
    // Refused as the system refuses such links itself.
    EXPECT_EQ(located, test.refused ? win32_code::kUntrustedMountPoint : 0);
    EXPECT_EQ(opened, test.refused ? win32_code::kUntrustedMountPoint : 0);
    host::ShowLinks(root.path, {});
  }
}

// Every limit at its value and one past, the rows made from the limits
// themselves: a name through as many links as the system follows resolves,
// one more is refused; another run's lock that goes at the end of the wait
// is had, one that stays a step longer is refused once the wait is over (not
// a step later); on Windows, another program's hold that lets go on the last
// try is waited out, one that lasts a try longer is refused.
struct Limit {
  const char* name;
  long value, past;  // past: one more, or one more than the last try sees
  PlatformCode (*attempt)(const fs::path& root, long value);
  PlatformCode refused;
};
#ifndef _WIN32
long Clock = 0, Release = 0;  // milliseconds paused, and when the lock goes
const Limit kLimits[] = {
    {"links", kMaxLinks, kMaxLinks + 1,
     [](const fs::path& root, long links) {
       WriteFile(root / "l0", kSettings);
       for (long k = 1; k <= links; ++k)
         fs::create_symlink("l" + std::to_string(k - 1), root / ("l" + std::to_string(k)));
       FilePlace place;
       const PlatformCode code = Sys.locate((root / ("l" + std::to_string(links))).c_str(), &place);
       if (code == 0) Sys.close(place.folder);
       return code;
     },
     ELOOP},
    {"lock wait", kLockWaitMs, kLockWaitMs + kLockStepMs + 1,
     [](const fs::path& root, long release) {
       Clock = 0;
       Release = release;
       Posix.pause = [](long milliseconds) { Clock += milliseconds; };
       Posix.flock = [](int, int) { return Clock < Release ? (errno = EWOULDBLOCK, -1) : 0; };
       WriteFile(root / "locked", "");
       const Handle handle = host::OpenFile(root / "locked", false);
       const PlatformCode code = Sys.lock(handle, true);
       host::CloseFile(handle);
       Posix = NativePosixCalls();
       return code != 0 && (Clock < kLockWaitMs || Clock > kLockWaitMs + kLockStepMs) ? -1 : code;
     },
     EWOULDBLOCK},
};
#else
long TriesOfAHold() {
  long tries = 1;
  for (DWORD pause = kFirstPause; pause <= kLastPause; pause *= 2) ++tries;
  return tries - 1;  // the value: a hold that fails all tries but the last
}
PlatformCode OpenHeldLog(const fs::path& root, long tries) {
  WriteFile(root / "log.001", kLog);
  host::InjectHold({Held::kOpenLog, static_cast<int>(tries), kHeld[1]});
  Handle handle = 0;
  const PlatformCode code = Sys.open_read((root / "log.001").string().c_str(), &handle);
  if (code == 0) Sys.close(handle);
  host::InjectHold({Held::kOpenLog, 0, 0});
  return code;
}
const Limit kLimits[] = {{"hold", TriesOfAHold(), TriesOfAHold() + 1, OpenHeldLog, kHeld[1]}};
#endif

TEST(Limits, EachAtItsValueAndOnePast) {
  for (const Limit& limit : kLimits) {
    for (const long value : {limit.value, limit.past}) {
      SCOPED_TRACE(::testing::Message() << limit.name << " " << value);
      const host::TempFolder root;
      EXPECT_EQ(limit.attempt(root.path, value), value == limit.value ? 0 : limit.refused);
    }
  }
}

// A file put at the name between the walk that finds it and its open is not
// read in its place.
TEST(Place, FileSwappedAfterTheWalkIsNotRead) {
  if (!host::CanInjectSystemFault(host::SystemFault::kSwappedAtOpen)) {
    GTEST_SKIP() << "no file can be swapped in at its open here";
  }
  const host::TempFolder root;
  WriteFile(root.path / "log.001", "zub=1\r\n");
  WriteFile(root.path / "log.001.swap", "zub=666\r\n");
  const host::ChildEnd end = host::RunChild(
      [](const std::string& name) {
        host::InjectSystemFault(host::SystemFault::kSwappedAtOpen);
        Handle file = 0;
        std::_Exit(static_cast<int>(Sys.open_read(name.c_str(), &file)));
      },
      (root.path / "log.001").string());
  EXPECT_EQ(end.status, static_cast<std::uint32_t>(NativeCalls().moved));
}

}  // namespace

void RunSweepJob(const std::string& job) { Run(job); }

}  // namespace zub::testing
