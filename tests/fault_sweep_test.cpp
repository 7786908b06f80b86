// Every platform call of a whole run, failed in turn, and interrupted in
// turn.
//
// A first run counts the calls, and shows the order in which the settings
// file is rewritten; then the run is repeated once per call, with that call
// failing with an error that suits its kind, and once more with an
// interrupt (SIGTERM; on Windows Ctrl+Break) just before the call. A failed
// run must end with the failing call's code as exit status and in the report
// line, unless the failure only sends the rewrite another way; an
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
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_sys.h"
#include "support/host.h"
#include "tool/zub.h"

namespace zub::testing {
namespace {

namespace fs = std::filesystem;

const std::string kPrompt = "Press ENTER to close ZUB Window\r\n";

// The errors a failing call is given, by kind in the order of Call. Some
// only send the rewrite another way: an unnamed temporary file that the
// file system cannot make (not_supported), metadata that cannot be carried
// over (permission), a rename across devices (cross_device).
const host::Codes& kCode = host::kCodes;
const std::vector<PlatformCode> kCodes[kCallKinds] = {
    {kCode.not_found, kCode.access_denied},         // open_read
    {kCode.access_denied},                          // open_write
    {kCode.access_denied},                          // open_update
    {kCode.access_denied},                          // probe_write
    {kCode.locked},                                 // lock
    {kCode.io},                                     // link_count
    {NativeCalls().not_supported, kCode.no_space},  // create_unnamed
    {kCode.no_space, kCode.access_denied},          // create_temporary
    {kCode.permission},                             // copy_metadata
    {kCode.no_space},                               // name_temporary
    {kCode.cross_device, kCode.io},                 // replace
    {kCode.io},                                     // sync_folder
    {kCode.no_space},                               // reserve
    {kCode.io},                                     // write_at
    {kCode.io},                                     // truncate
    {kCode.bad_handle},                             // std_handle
    {kCode.io},                                     // read
    {kCode.no_space},                               // write
    {kCode.io, kCode.no_space},                     // sync
    {kCode.io},                                     // close
    {kCode.not_found},                              // locate
    {kCode.io},                                     // remove
    {kCode.invalid},                                // watch_interrupts
    {NativeCalls().moved},                          // check_place
};

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

using Calls = std::vector<Call>;

// The failures a run absorbs by design, ending normally all the same: why,
// and the call it must make afterwards to show that it took another way.
struct Absorbed {
  Call call;
  PlatformCode code;  // 0: any
  Call then;          // kAny: none
  const char* why;
  Call follows = Call::kAny;  // absorbed only right after this call
};
const Absorbed kAbsorbed[] = {
    {Call::kCreateUnnamed, NativeCalls().not_supported, Call::kCreateTemporary,
     "no unnamed files here: a named temporary file instead"},
    {Call::kCreateUnnamed, kCode.no_space, Call::kOpenUpdate,
     "no room or inode for a new file: rewritten in place"},
    {Call::kCreateTemporary, kCode.no_space, Call::kOpenUpdate,
     "no room or inode for a new file: rewritten in place"},
    {Call::kCreateTemporary, kCode.access_denied, Call::kOpenUpdate,
     "the folder takes no new file: rewritten in place"},
    {Call::kCopyMetadata, 0, Call::kOpenUpdate,
     "a new file cannot be given all the old one has: rewritten in place"},
    // A full disk may still take a value that fits where the old one stands.
    {Call::kWrite, kCode.no_space, Call::kOpenUpdate,
     "no room for a second copy: rewritten in place", Call::kCreateUnnamed},
    {Call::kWrite, kCode.no_space, Call::kOpenUpdate,
     "no room for a second copy: rewritten in place", Call::kCreateTemporary},
    {Call::kSync, kCode.no_space, Call::kOpenUpdate,
     "no room for a second copy: rewritten in place", Call::kCopyMetadata},
    {Call::kNameTemporary, kCode.no_space, Call::kOpenUpdate,
     "no room for the new file's name: rewritten in place"},
    {Call::kClose, 0, Call::kOpenUpdate, "the new file that cannot be used let go",
     Call::kCopyMetadata},
    {Call::kReplace, kCode.cross_device, Call::kOpenUpdate,
     "the rename is refused: rewritten in place"},
    // Past the rewrite: letting the folder go, and the last write-out of
    // standard output, after the prompt, change nothing that matters.
    {Call::kClose, 0, Call::kAny, "the folder let go once the file is done"},
    {Call::kWrite, 0, Call::kAny, "output lost at the very end"},
};

// True when `call` is among the first `count` of `calls`.
bool Among(const Calls& calls, std::size_t count, Call call) {
  const auto end = calls.begin() + static_cast<std::ptrdiff_t>(std::min(count, calls.size()));
  return std::find(calls.begin(), end, call) != end;
}

// The entry of kAbsorbed for the n-th of `calls` failing with `code`, if any.
// A close is absorbed only as the last one, after a rewrite; a write only as
// the last call.
const Absorbed* AbsorbedFailure(const Calls& calls, std::size_t n, PlatformCode code) {
  const Call call = calls[n - 1];
  for (const Absorbed& entry : kAbsorbed) {
    if (entry.call != call || (entry.code != 0 && entry.code != code)) continue;
    if (entry.follows != Call::kAny) {
      if (n >= 2 && calls[n - 2] == entry.follows) return &entry;
      continue;
    }
    const Calls rest(calls.begin() + static_cast<std::ptrdiff_t>(n), calls.end());
    if (call == Call::kWrite && !rest.empty()) continue;
    if (call == Call::kClose &&
        (Among(rest, rest.size(), Call::kClose) || !Among(calls, n, Call::kProbeWrite))) {
      continue;
    }
    return &entry;
  }
  return nullptr;
}
}  // namespace

void RunSweepJob(const std::string& job);

namespace {

struct Scenario {
  const char* name;
  std::string log;
  std::string settings;
  std::string patched;  // the settings file after a complete run
  std::string message;  // the run's last message before the prompt
  // A second name of the settings file, which sends the rewrite in place.
  const char* link = nullptr;
  // How the system differs from the one the tests run on, where this one
  // can be made to (host::InjectSystemFault).
  std::vector<host::SystemFault> faults = {};
  // The call after which the settings file is the new one, and the calls
  // of the rewrite from the write probe to the one after that, each run of
  // one kind as one.
  Call commit = Call::kAny;
  Calls order = {};
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

using Fault = host::SystemFault;
using Held = host::HeldCall;
using host::kAlways;
using host::kHeld;

// The calls of a replacement, and of a rewrite in place.
const Calls kReplaced = {Call::kProbeWrite,    Call::kWatchInterrupts, Call::kCreateUnnamed,
                         Call::kWrite,         Call::kCopyMetadata,    Call::kSync,
                         Call::kNameTemporary, Call::kClose,           Call::kReplace,
                         Call::kSyncFolder};
const Calls kInPlace = {Call::kOpenUpdate, Call::kLock,     Call::kRead, Call::kReserve,
                        Call::kWriteAt,    Call::kTruncate, Call::kSync, Call::kClose};

Calls Then(Calls calls, const Calls& more) {
  calls.insert(calls.end(), more.begin(), more.end());
  return calls;
}

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

const Scenario kScenarios[] = {
    // The first name drawn for the new file's name is taken; writes take a
    // few bytes at a time; a writer comes while the log is checked for one.
    // Files differ only in the upper half of their index. Every call that
    // meets another program's hold fails once, then thrice, and the run
    // waits it out on the same way.
    {"Conversion",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {Fault::kTakenName, Fault::kShortWrites, Fault::kWriterAtLease, Fault::kHighFileIndex},
     Call::kReplace,
     kReplaced,
     false,
     Holds(1, 2)},
    {"NamedTemporary",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {Fault::kNoUnnamedFiles, Fault::kTakenName, Fault::kNoReplacement, Fault::kNoFolderSync},
     Call::kReplace,
     {Call::kProbeWrite, Call::kWatchInterrupts, Call::kCreateUnnamed, Call::kCreateTemporary,
      Call::kWrite, Call::kCopyMetadata, Call::kSync, Call::kNameTemporary, Call::kClose,
      Call::kReplace, Call::kSyncFolder},
     false,
     Holds(3, 3)},
    // ReplaceFileW has moved the old file to its backup name and cannot
    // move the new one: the new one takes the name once a hold of the move
    // has passed, or, where it cannot be moved at all, the old one goes back.
    {"MovedAway",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {Fault::kMovedAway},
     Call::kReplace,
     kReplaced,
     true,
     {{Held::kMoveFile, 3, kHeld[2]}},
     0,
     true},
    // Holds that last. ReplaceFileW and the move are refused: rewritten in
    // place, once the temporary file's removal has waited. The old file
    // cannot be removed once replaced: reported, the file converted. The
    // log, or the settings file, cannot be opened: refused, unchanged.
    {"HeldInPlace",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {},
     Call::kSync,
     Then({Call::kProbeWrite, Call::kWatchInterrupts, Call::kCreateUnnamed, Call::kWrite,
           Call::kCopyMetadata, Call::kSync, Call::kNameTemporary, Call::kClose, Call::kReplace,
           Call::kRemove},
          kInPlace),
     true,
     {{Held::kReplaceFile, kAlways, kHeld[3]},
      {Held::kMoveFile, kAlways, kHeld[0]},
      {Held::kRemove, 3, kHeld[1]}},
     0,
     true},
    {"HeldOldFile",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {},
     Call::kReplace,
     kReplaced,
     true,
     {{Held::kRemoveOld, kAlways, kHeld[1]}},
     32,
     true},
    {"HeldLog",
     kLog,
     kSettings,
     kSettings,
     "",
     nullptr,
     {},
     Call::kAny,
     {},
     true,
     {{Held::kOpenLog, kAlways, kHeld[2]}},
     33,
     true},
    {"HeldSettings",
     kLog,
     kSettings,
     kSettings,
     "",
     nullptr,
     {},
     Call::kAny,
     {Call::kProbeWrite, Call::kClose, Call::kWrite},
     true,
     {{Held::kWriteSettings, kAlways, kHeld[0]}},
     5,
     true},
    // No extended attributes, no /proc, folders that may only be searched.
    {"PlainSystem",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {Fault::kNoAttributes, Fault::kNoProc, Fault::kUnreadableFolder},
     Call::kReplace,
     kReplaced},
    // An attribute, or an inode flag, that cannot be given to a new file:
    // rewritten in place. The first on a kernel that refuses unnamed files
    // as old ones do.
    {"AttributeRefused",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {Fault::kAttributeRefused, Fault::kOldKernel},
     Call::kSync,
     Then({Call::kProbeWrite, Call::kWatchInterrupts, Call::kCreateUnnamed, Call::kCreateTemporary,
           Call::kWrite, Call::kCopyMetadata, Call::kClose, Call::kRemove},
          kInPlace),
     true},
    {"FlagRefused",
     kLog,
     kSettings,
     kPatched,
     "ZUB converted\r\n",
     nullptr,
     {Fault::kFlagRefused},
     Call::kSync,
     Then({Call::kProbeWrite, Call::kWatchInterrupts, Call::kCreateUnnamed, Call::kWrite,
           Call::kCopyMetadata, Call::kClose},
          kInPlace),
     true},
    // Shorter than before, so that the file is cut to its new length; as long
    // as before; longer, its old content the start of the new, with writes
    // of a few bytes at a time, and where no room can be taken before them.
    {"InPlace",
     kLog,
     kShorter,
     kPatched,
     "ZUB converted\r\n",
     "link.ini",
     {},
     Call::kSync,
     Then({Call::kProbeWrite}, kInPlace)},
    {"InPlaceSameLength",
     kLog,
     kSameLength,
     kPatched,
     "ZUB converted\r\n",
     "link.ini",
     {},
     Call::kSync,
     {Call::kProbeWrite, Call::kOpenUpdate, Call::kLock, Call::kRead, Call::kReserve,
      Call::kWriteAt, Call::kSync, Call::kClose}},
    {"InPlaceGrowing",
     kLog,
     kPrefix,
     kPrefixPatched,
     "ZUB converted\r\n",
     "link.ini",
     {Fault::kShortWrites},
     Call::kSync,
     Then({Call::kProbeWrite}, kInPlace)},
    {"InPlaceGrowingWithoutReservation",
     kLog,
     kPrefix,
     kPrefixPatched,
     "ZUB converted\r\n",
     "link.ini",
     {Fault::kNoReservation},
     Call::kSync,
     Then({Call::kProbeWrite}, kInPlace)},
    {"NoTagInSettings", kLog, Numbered("setting ", 20), Numbered("setting ", 20),
     "Bad file InBetween.ini, zub= not found\r\n"},
    {"NoTagInLog", Numbered("log line ", 12), "zub=7\r\n", "zub=7\r\n",
     "Something is wrong, ZUB not found\r\n"},
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

// The names in `folder`, but for files of the run left behind where
// `leftovers`.
std::set<std::string> Entries(const fs::path& folder, bool leftovers) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (!leftovers || !name.starts_with(".zub-") || name == host::kTakenName) names.insert(name);
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
// while the run holds it open), and the decoy takes its name.
void SwapFile() {
  const fs::path folder = SwapRoot / "files";
  std::error_code refused;
  fs::rename(folder / "InBetween.ini", folder / "moved.ini", refused);
  if (refused) return;
  WriteFile(folder / "InBetween.ini", kDecoy);
}

// The settings file is renamed, and a symbolic link to it takes its name
// (where the system lets it; otherwise nothing changes).
void SwapLink() {
  const fs::path folder = SwapRoot / "files";
  std::error_code refused;
  fs::rename(folder / "InBetween.ini", folder / "moved.ini", refused);
  if (refused) return;
  fs::create_symlink("moved.ini", folder / "InBetween.ini", refused);
  if (refused) fs::rename(folder / "moved.ini", folder / "InBetween.ini");
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

// The run of one child: scenario, plan, call and code, below its root.
struct Job {
  std::filesystem::path root;
  std::size_t scenario = 0;
  int plan = 0;
  int at = 0;
  PlatformCode code = 0;
};

std::string Encode(const Job& job) {
  std::ostringstream text;
  text << job.scenario << ' ' << job.plan << ' ' << job.at << ' ' << job.code << ' '
       << job.root.string();
  return text.str();
}

// The run itself: the exit status, then one byte per platform call, go to
// the file "calls".
void Run(const std::string& text) {
  Job job;
  std::istringstream fields(text);
  std::string root;
  fields >> job.scenario >> job.plan >> job.at >> job.code;
  std::getline(fields >> std::ws, root);
  job.root = root;
  const Scenario& scenario = kScenarios[job.scenario];
  const fs::path folder = job.root / "files";
  std::string log_path = (folder / "log.001").string();
  std::string settings_path = (folder / "InBetween.ini").string();
  char name[] = "zub";
  char* argv[] = {name, log_path.data(), settings_path.data(), nullptr};
  FakeSys fake;
  // The arguments as main is given them, on every platform.
  Sys.command_line = [] { return static_cast<const char*>(nullptr); };
  fake.SetStdHandles(host::OpenFile(job.root / "input", false),
                     host::OpenFile(job.root / "output", true));
  fake.Reset();
  for (Fault fault : scenario.faults) {
    if (!host::InjectSystemFault(fault) && fault == Fault::kNoUnnamedFiles) {
      fake.FailAlways(Call::kCreateUnnamed, NativeCalls().not_supported);
    }
  }
  for (const host::Hold& hold : scenario.holds) host::InjectHold(hold);
  if (job.plan == static_cast<int>(Plan::kNothing)) {
    // What the file holds when the first byte is written in place: as it was.
    fake.ActAtNth(Call::kWriteAt, 1, [] {
      fs::copy_file(SwapRoot / "files" / "InBetween.ini", SwapRoot / "before write");
    });
    // The new file, where it can be seen before it takes over the old one's
    // metadata, grants nobody more than the old one does.
    fake.ActAtNth(Call::kCopyMetadata, 1, [] {
      for (const auto& entry : fs::directory_iterator(SwapRoot / "files")) {
        const std::string entry_name = entry.path().filename().string();
        if (!entry_name.starts_with(".zub-") || entry_name == host::kTakenName) continue;
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
  if (job.plan == static_cast<int>(Plan::kFail)) fake.FailNth(Call::kAny, job.at, job.code);
  // An interrupt: the code names which; an ignored one is ignored from the
  // start, as under nohup.
  if (job.plan == static_cast<int>(Plan::kInterrupt)) {
    fake.InterruptAtNth(Call::kAny, job.at, job.code);
  }
  if (job.plan == static_cast<int>(Plan::kIgnoredInterrupt) && host::IgnoreInterrupt(job.code)) {
    fake.InterruptAtNth(Call::kAny, job.at, job.code);
  }
  SwapRoot = job.root;
  if (job.plan == static_cast<int>(Plan::kSwapFile)) fake.ActAtNth(Call::kAny, job.at, SwapFile);
  if (job.plan == static_cast<int>(Plan::kSwapLink)) fake.ActAtNth(Call::kAny, job.at, SwapLink);
  if (job.plan == static_cast<int>(Plan::kSwapFolder))
    fake.ActAtNth(Call::kAny, job.at, SwapFolder);
  std::uint32_t status = ExitStatusOf([&] { RunZub(3, argv); });
  std::string message(reinterpret_cast<const char*>(&status), sizeof status);
  for (Call call : fake.Log()) message += static_cast<char>(call);
  WriteFile(job.root / "calls", message);
}

// One whole run in a fresh folder below `root`, in a child process; the
// `at`-th platform call fails with `code`, or is preceded by an interrupt,
// as `plan` says.
Outcome RunOnce(const fs::path& root, std::size_t scenario_index, Plan plan = Plan::kNothing,
                int at = 0, PlatformCode code = 0) {
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
  const host::ChildEnd end =
      host::RunChild(RunSweepJob, Encode({root, scenario_index, static_cast<int>(plan), at, code}));
  outcome.interrupted = end.interrupted;
  const std::string message = ReadFile(root / "calls");
  if (message.size() >= sizeof outcome.status) {
    std::copy_n(message.data(), sizeof outcome.status, reinterpret_cast<char*>(&outcome.status));
    outcome.ended = outcome.status != 0xDEADBEEF;
    for (std::size_t i = sizeof outcome.status; i < message.size(); ++i) {
      outcome.calls.push_back(static_cast<Call>(message[i]));
    }
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

class FaultSweep : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    const Scenario& scenario = Row();
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
    if (Among(counted_.calls, counted_.calls.size(), Call::kWriteAt)) {
      EXPECT_EQ(ReadFile(root_ / "before write"), scenario.settings);
    }
    if (fs::exists(root_ / "wider")) {
      EXPECT_EQ(ReadFile(root_ / "wider"), "0");
    }
    // The settings file is new from the commit on; before it, the old one.
    const auto commit = std::find(counted_.calls.rbegin(), counted_.calls.rend(), scenario.commit);
    committed_after_ = static_cast<std::size_t>(counted_.calls.rend() - commit);
    if (commit == counted_.calls.rend()) committed_after_ = counted_.calls.size() + 1;
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
  void ExpectSound(const Outcome& run, bool removal_failed = false) const {
    const Scenario& scenario = Row();
    EXPECT_EQ(run.log, scenario.log);
    std::set<std::string> entries = run.entries;
    if (removal_failed)
      std::erase_if(entries, [](const std::string& name) {
        return name.starts_with(".zub-") && name != host::kTakenName;
      });
    EXPECT_EQ(entries, files_);
    EXPECT_EQ(run.settings_metadata, metadata_);
    EXPECT_TRUE(run.settings == scenario.settings || run.settings == scenario.patched)
        << run.settings;
  }

  fs::path root_;
  std::set<std::string> files_;
  std::string metadata_;
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
  for (Call call : Row().order) expected.push_back(CallName(call));
  EXPECT_EQ(names, expected);
}

TEST_P(FaultSweep, EveryFailedCallEndsCleanly) {
  const Scenario& scenario = Row();
  int failed = 0;
  for (std::size_t n = 1; n <= counted_.calls.size(); ++n) {
    const Call call = counted_.calls[n - 1];
    // A system without unnamed files fails every such call already.
    if (Has(scenario, Fault::kNoUnnamedFiles) && call == Call::kCreateUnnamed) continue;
    for (PlatformCode code : kCodes[static_cast<int>(call)]) {
      ++failed;
      SCOPED_TRACE(::testing::Message()
                   << "call " << n << " (" << CallName(call) << ") fails with " << code);
      const Outcome run = RunOnce(root_, GetParam(), Plan::kFail, static_cast<int>(n), code);
      ASSERT_TRUE(run.ended);
      ExpectSound(run, call == Call::kRemove);
      // New once the commit is made, and after a complete run; else old.
      const bool converted = EndsAsRow(run) || n > committed_after_;
      EXPECT_EQ(run.settings, converted ? scenario.patched : scenario.settings);
      // The calls the run made after the failed one.
      const Calls after(
          run.calls.begin() + static_cast<std::ptrdiff_t>(std::min(n, run.calls.size())),
          run.calls.end());
      if (const Absorbed* absorbed = AbsorbedFailure(counted_.calls, n, code)) {
        SCOPED_TRACE(absorbed->why);
        EXPECT_TRUE(run.status == 0 || run.status == scenario.status) << run.status;
        if (absorbed->then != Call::kAny) {
          EXPECT_NE(std::find(after.begin(), after.end(), absorbed->then), after.end());
        }
        // Only the ending's last write-out of standard output is cut.
        if (n == counted_.calls.size()) {
          EXPECT_TRUE(counted_.output.starts_with(run.output)) << run.output;
          EXPECT_LT(run.output.size(), counted_.output.size());
        } else {
          EXPECT_TRUE(EndsAsRow(run)) << run.output;
        }
        continue;
      }
      // A failure while the file is rewritten in place puts the old bytes
      // back, and makes them durable.
      if (Among(counted_.calls, n - 1, Call::kReserve) && n <= committed_after_) {
        Calls restore;
        for (Call next : after) {
          if (next == Call::kWriteAt || next == Call::kTruncate || next == Call::kSync) {
            restore.push_back(next);
          }
        }
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
  }
  std::cout << "[ sweep    ] " << scenario.name << ": " << counted_.calls.size()
            << " platform calls, " << failed << " failed runs\n";
  RecordProperty("failed_calls", failed);
}

// An interrupt at any moment, each kind in turn, ends the run as it ends one
// without the tool's handler (by that signal; on Windows through the default
// handling), and leaves no temporary file. One that was ignored from the
// start stays ignored: the run ends as it would have without it.
// A row whose steps are those of another row but for its holds sweeps only
// the failures: interrupts and swaps would find nothing new there.
class StepSweep : public FaultSweep {};

TEST_P(StepSweep, EveryInterruptEndsAsWithoutHandlerAndLeavesNothing) {
  for (std::size_t n = 1; n <= counted_.calls.size(); ++n) {
    const int kind = static_cast<int>(n) % host::kInterruptKinds;
    SCOPED_TRACE(::testing::Message() << "interrupt " << kind << " before call " << n << " ("
                                      << CallName(counted_.calls[n - 1]) << ")");
    const Outcome run = RunOnce(root_, GetParam(), Plan::kInterrupt, static_cast<int>(n), kind);
    EXPECT_TRUE(run.interrupted);
    EXPECT_FALSE(run.ended);
    ExpectSound(run);
    if (!host::CanIgnoreInterrupts()) continue;
    const Outcome ignored =
        RunOnce(root_, GetParam(), Plan::kIgnoredInterrupt, static_cast<int>(n), kind);
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
TEST_P(StepSweep, EverySwapOfThePathLeavesTheFileAtTheNameAlone) {
  const Scenario& scenario = Row();
  const auto last = [&](Call call) {
    return static_cast<std::size_t>(
        counted_.calls.rend() - std::find(counted_.calls.rbegin(), counted_.calls.rend(), call));
  };
  const std::size_t checked = last(Call::kCheckPlace);
  const std::size_t last_check = std::max(last(Call::kReplace), last(Call::kOpenUpdate));
  for (Plan plan : {Plan::kSwapFile, Plan::kSwapFolder, Plan::kSwapLink}) {
    if (plan == Plan::kSwapLink && !host::CanMakeLinks()) continue;
    for (std::size_t n = 1; n <= counted_.calls.size(); ++n) {
      SCOPED_TRACE(::testing::Message() << "swap " << static_cast<int>(plan) << " before call " << n
                                        << " (" << CallName(counted_.calls[n - 1]) << ")");
      const Outcome run = RunOnce(root_, GetParam(), plan, static_cast<int>(n));
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

// The rows this system can run, so that none is left to be skipped: a row
// that needs the system to differ where it cannot, or holds it does not
// have, is another system's; `steps` leaves out the rows of failures only.
std::vector<std::size_t> Rows(bool steps) {
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < std::size(kScenarios); ++i) {
    const Scenario& scenario = kScenarios[i];
    bool runs = !(steps && scenario.failures_only);
    for (host::SystemFault fault : scenario.faults) {
      if (scenario.needs_faults && !host::CanInjectSystemFault(fault)) runs = false;
    }
    if (scenario.needs_faults && !scenario.holds.empty() && !host::CanInjectHolds()) runs = false;
    if (runs) rows.push_back(i);
  }
  return rows;
}

std::string RowName(const ::testing::TestParamInfo<std::size_t>& row) {
  return kScenarios[row.param].name;
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultSweep, ::testing::ValuesIn(Rows(false)), RowName);
INSTANTIATE_TEST_SUITE_P(Runs, StepSweep, ::testing::ValuesIn(Rows(true)), RowName);

// A file that differs from the one read in one half of one part of its
// identity (the device, or the inode; on Windows the volume, or the file
// index) is another file to every step that goes by the place.
TEST(Place, EveryStepRefusesAnotherIdentity) {
  const fs::path root = host::MakeTempFolder();
  const std::string name = (root / "InBetween.ini").string();
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
  fs::remove_all(root);
}

// Links and owners on the way to a file, as the layer sees them (owners: 0
// the runner, 1 and 2 two other users, -1 one that may not be read): a link
// of another user leads only to what that user owns, and a folder of
// another user holds only that user's links.
struct LinkCase {
  const char* name;
  std::vector<host::Seen> seen;
  const char* path;
  bool refused;
};

const LinkCase kLinks[] = {
    {"OthersLinkToRunnersFile",
     {{"user", false, 1}, {"user/link.ini", true, 1, "secret.ini"}},
     "user/link.ini",
     true},
    {"OthersFolderLinkToRunnersFolder",
     {{"user", false, 1}, {"user/engine", true, 1, "root"}},
     "user/engine/InBetween.ini",
     true},
    {"ThirdsLinkInOthersFolder",
     {{"user", false, 1}, {"user/link.ini", true, 2, "user/own.ini"}, {"user/own.ini", false, 2}},
     "user/link.ini",
     true},
    {"OthersLinkToItsOwnFile",
     {{"user", false, 1}, {"user/link.ini", true, 1, "user/own.ini"}, {"user/own.ini", false, 1}},
     "user/link.ini",
     false},
    {"RunnersLinkToOthersFile",
     {{"user/link.ini", true, 0, "user/own.ini"}, {"user/own.ini", false, 1}},
     "user/link.ini",
     false},
    {"LinkOfUnreadableOwner",
     {{"user", false, 1}, {"user/link.ini", true, -1, "secret.ini"}},
     "user/link.ini",
     false},
    // A hard link needs the right to write its file there: plain files are
    // the system's affair.
    {"RunnersFileInOthersFolder", {{"user", false, 1}}, "user/own.ini", false},
};

// Only where the layer's links and owners can be shown to it; where they
// are real, tests/e2e makes them, as root.
class ShownLinks : public ::testing::TestWithParam<bool> {};

TEST_P(ShownLinks, LinksOfAnotherUserLeadOnlyToWhatThatUserOwns) {
  // ERROR_UNTRUSTED_MOUNT_POINT, as the system refuses such links itself.
  constexpr PlatformCode kUntrusted = 448;
  for (const LinkCase& test : kLinks) {
    SCOPED_TRACE(test.name);
    const fs::path root = host::MakeTempFolder();
    for (const char* file : {"secret.ini", "user/link.ini", "user/own.ini",
                             "user/engine/InBetween.ini", "root/InBetween.ini"}) {
      fs::create_directories((root / file).parent_path());
      WriteFile(root / file, kSettings);
    }
    host::ShowLinks(root, test.seen);
    const std::string name = (root / test.path).string();
    FilePlace place;
    Handle file = 0;
    const PlatformCode located = Sys.locate(name.c_str(), &place);
    const PlatformCode opened = Sys.open_read(name.c_str(), &file);
    if (located == 0) Sys.close(place.folder);
    if (opened == 0) Sys.close(file);
    EXPECT_EQ(located, test.refused ? kUntrusted : 0);
    EXPECT_EQ(opened, test.refused ? kUntrusted : 0);
    host::ShowLinks(root, {});
    fs::remove_all(root);
  }
}

INSTANTIATE_TEST_SUITE_P(Place, ShownLinks,
                         ::testing::ValuesIn(host::CanShowLinks() ? std::vector<bool>{true}
                                                                  : std::vector<bool>{}));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ShownLinks);

}  // namespace

void RunSweepJob(const std::string& job) { Run(job); }

}  // namespace zub::testing
