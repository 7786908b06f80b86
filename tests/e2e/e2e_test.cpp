// The built tool on real files in a fresh folder: the exact bytes on
// standard output, the exit status, and the bytes, modes and owners of every
// file in the folder afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "e2e/run_tool.h"
#include "support/files.h"
#include "support/sanitizers.h"

namespace zub::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// What the tool says, line by line.
const std::string kBanner =
    "ZUB " ZUB_VERSION " - carries the zub= value from a log into a settings file\r\n";
constexpr std::string_view kExample =
    R"(ZUB "C:\Program Files\CM8000\log.001" "C:\Program Files\ChessBase\Engines\TheKing\InBetween.ini")";
static_assert(kExample.size() == 96);
const std::string kUsage = "Bad params\r\nExample of using\r\n" + std::string(kExample) +
                           "\r\nThen ZUB is converted and log file is deleted\r\n";
const std::string kPrompt(kTerminalPrompt);
const std::string kConverted = "ZUB converted\r\n";
const std::string kNoValue = "Something is wrong, ZUB not found\r\n";
const std::string kNoTag = "Bad file InBetween.ini, zub= not found\r\n";

// A log and a settings file, and the settings file once converted.
const std::string kLog = "start\r\nrun zub=345 done\r\n";
const std::string kSettings = "a=1\r\nzub=7 b\r\nc zub=345\r\n";
const std::string kPatched = "a=1\r\nzub=345 b\r\nc zub=345\r\n";

// A fresh folder, removed with everything in it.
class Folder {
 public:
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "zub-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no folder " + pattern);
    path_ = pattern;
  }
  ~Folder() {
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(path_, error)) {
      if (entry.is_directory(error) && !entry.is_symlink(error)) {
        ::chmod(entry.path().c_str(), 0700);
      }
    }
    fs::remove_all(path_, error);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  void Write(const std::string& name, const std::string& bytes, mode_t mode = 0640) const {
    fs::create_directories(fs::path(*this / name).parent_path());
    std::ofstream(*this / name, std::ios::binary) << bytes;
    ::chmod((*this / name).c_str(), mode);
  }
  // The log and the settings file under their usual names.
  void Fill() const {
    Write("log.001", kLog);
    Write("InBetween.ini", kSettings);
  }
  std::string Read(const std::string& name) const { return zub::testing::ReadFile(*this / name); }

  // The extended attributes of an entry, access control lists among them:
  // names and values.
  std::string Attributes(const std::string& name) const {
    char names[4096];
    const std::string path = *this / name;
    std::string text;
    const ssize_t size = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
      char value[4096];
      const ssize_t length = ::lgetxattr(path.c_str(), names + at, value, sizeof value);
      text += std::string(names + at) + "=" +
              std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0))) + ";";
    }
    return text;
  }

  // Every entry below the folder: its kind, mode, owner, number of names and
  // extended attributes (first), and its content or link target (second).
  using Entries = std::map<std::string, std::pair<std::string, std::string>>;
  Entries Snapshot() const {
    Entries entries;
    for (const auto& entry : fs::recursive_directory_iterator(path_)) {
      struct stat status;
      ::lstat(entry.path().c_str(), &status);
      const std::string name = entry.path().lexically_relative(path_).string();
      auto& [facts, content] = entries[name];
      // Windows keeps no permission bits or owners of its own.
      facts = NativeTool() ? std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) +
                                 ":" + std::to_string(status.st_gid) + " links " +
                                 std::to_string(status.st_nlink) + " " + Attributes(name)
                           : std::to_string(status.st_mode & S_IFMT);
      if (S_ISREG(status.st_mode)) content = Read(name);
      if (S_ISLNK(status.st_mode)) content = fs::read_symlink(entry.path()).string();
    }
    return entries;
  }

 private:
  std::string path_;
};

// `actual` is `before`, then (unless `code` is 0) the report line naming
// `code`.
void ExpectOutput(const std::string& actual, const std::string& before, int code) {
  const std::size_t report = code == 0 ? 0 : 31;  // with its CR LF
  EXPECT_TRUE(actual.size() == before.size() + report && actual.starts_with(before) &&
              (code == 0 || zub::testing::EndsWithReport(actual, static_cast<std::uint32_t>(code))))
      << actual;
}

// The tool never speaks on standard error; a Windows build under a wrapper
// may find the wrapper's own notes there.
void ExpectQuiet(const ToolResult& result) {
  if (NativeTool()) {
    EXPECT_EQ(result.errors, "");
  }
  EXPECT_EQ(result.signal, 0);
}

// A run in `folder` with `arguments`; the rest as ToolRun has it.
ToolRun In(const Folder& folder, std::vector<std::string> arguments) {
  ToolRun run;
  run.folder = folder.path();
  run.arguments = std::move(arguments);
  return run;
}

// The dialogue: argument counts and the kinds of standard input and output.
// Where the output can be read, it is the usage dialogue, followed by the
// report when the run fails.
struct DialogueCase {
  const char* name;
  std::vector<std::string> arguments;
  Input input;
  std::string input_bytes;
  Output output;
  int status;
  bool native_only;
};

const std::string kUsageDialogue = kBanner + kUsage + kPrompt;

const DialogueCase kDialogues[] = {
    {"NoArguments", {}, Input::kPipe, "", Output::kPipe, 0, false},
    {"OneArgument", {"log.001"}, Input::kPipe, "", Output::kPipe, 0, false},
    {"ThirdArgument", {"log.001", "InBetween.ini", "x"}, Input::kPipe, "", Output::kPipe, 0, false},
    {"EmptyArguments", {"", ""}, Input::kPipe, "", Output::kPipe, 0, false},
    {"InputEmptyFile", {}, Input::kFile, "", Output::kPipe, 0, false},
    {"InputHoldsText", {}, Input::kFile, "yes\r\nno\r\n", Output::kPipe, 0, false},
    {"InputPipeWithText", {}, Input::kPipe, "\n", Output::kPipe, 0, false},
    {"InputClosed", {}, Input::kClosed, "", Output::kPipe, 104, true},
    {"OutputFile", {}, Input::kPipe, "", Output::kFile, 0, false},
    {"OutputClosed", {}, Input::kPipe, "", Output::kClosed, 103, true},
    // The usage text is longer than one 128-byte piece, so its first
    // write-out already meets the missing reader.
    {"OutputReaderGone", {}, Input::kPipe, "", Output::kBrokenPipe, 32, true},
};

TEST(Dialogue, EveryArgumentCountAndConsoleKind) {
  for (const DialogueCase& test : kDialogues) {
    SCOPED_TRACE(test.name);
    if (test.native_only && !NativeTool()) continue;
    Folder folder;
    folder.Fill();
    const auto before = folder.Snapshot();
    ToolRun run = In(folder, test.arguments);
    run.input = test.input;
    run.input_bytes = test.input_bytes;
    run.output = test.output;
    ToolResult result = RunTool(run);
    ExpectQuiet(result);
    EXPECT_EQ(result.exit_status, test.status);
    if (test.output == Output::kPipe || test.output == Output::kFile) {
      ExpectOutput(result.output, kUsageDialogue, test.status);
    }
    EXPECT_EQ(folder.Snapshot(), before);
  }
}

// The dialogue of a conversion fits the output buffer, so it is written out
// only by the ending, whose failures change no outcome.
TEST(Dialogue, ConversionWhoseOutputIsLostStillEndsNormally) {
  ZUB_NATIVE_ONLY();
  Folder folder;
  folder.Fill();
  ToolRun run = In(folder, {"log.001", "InBetween.ini"});
  run.output = Output::kBrokenPipe;
  ToolResult result = RunTool(run);
  ExpectQuiet(result);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(folder.Read("InBetween.ini"), kPatched);
}

TEST(Dialogue, PromptStandsOnTerminalBeforeTheWait) {
  ZUB_NATIVE_ONLY();
  Folder folder;
  folder.Fill();
  const std::pair<std::vector<std::string>, std::string> runs[] = {
      {{}, kUsageDialogue},
      {{"log.001", "InBetween.ini"}, kBanner + kConverted + kPrompt},
  };
  for (const auto& [arguments, shown] : runs) {
    ToolRun run = In(folder, arguments);
    run.input_bytes = "\n";
    run.output = Output::kTerminal;
    ToolResult result = RunTool(run);
    ExpectQuiet(result);
    EXPECT_TRUE(result.waited_for_input);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, shown);
  }
  EXPECT_EQ(folder.Read("InBetween.ini"), kPatched);
}

// Paths of a given length in bytes, relative to the folder: a folder of 200
// bytes and a file name that makes up the rest.
std::string PathOfLength(std::size_t length, char letter) {
  return std::string(200, letter) + "/" + std::string(length - 205, letter) + ".ini";
}

// What some runs find in the folder beside the log and the settings file.
void SubFolder(const Folder& f) { fs::create_directory(f / "sub"); }
void ReadOnly(const Folder& f) { ::chmod((f / "InBetween.ini").c_str(), 0444); }
void Settings259(const Folder& f) { f.Write(PathOfLength(259, 's'), kSettings); }
void Log259(const Folder& f) { f.Write(PathOfLength(259, 'l'), kLog); }
void Link(const Folder& f) { fs::create_symlink("engine/real.ini", f / "link.ini"); }
void Locked(const Folder& f) { ::chmod((f / "locked").c_str(), 0555); }
void OtherOwner(const Folder& f) { (void)::chown((f / "InBetween.ini").c_str(), 65534, 65534); }
void RootsLog(const Folder& f) {
  (void)::chown((f / "log.001").c_str(), 0, 0);
  ::chmod((f / "log.001").c_str(), 0644);
}
void Dangling(const Folder& f) { fs::create_symlink("gone/real.ini", f / "dangling.ini"); }
void SecondName(const Folder& f) { fs::create_hard_link(f / "InBetween.ini", f / "second.ini"); }
// Another program, or another run, has `path` open, and with `lock` under
// that lock, until the next such setup.
void HoldOpen(const std::string& path, int flags, int lock = 0) {
  static int held = -1;
  if (held >= 0) ::close(held);
  held = ::open(path.c_str(), flags | O_CLOEXEC);
  if (lock != 0) ::flock(held, lock);
}
// The program that writes the log still has it open for writing.
void LogStillBeingWritten(const Folder& f) { HoldOpen(f / "log.001", O_WRONLY | O_APPEND); }
void LogLockedByAnother(const Folder& f) { HoldOpen(f / "log.001", O_RDONLY, LOCK_EX); }
// Another program only reads the log.
void LogBeingRead(const Folder& f) { HoldOpen(f / "log.001", O_RDONLY, LOCK_SH); }
// Another run reads the settings file, which is rewritten in place.
void SettingsBeingRead(const Folder& f) {
  SecondName(f);
  HoldOpen(f / "InBetween.ini", O_RDONLY, LOCK_SH);
}
// Another run rewrites a settings file of the same folder.
void FolderBeingRewritten(const Folder& f) { HoldOpen(f.path(), O_RDONLY | O_DIRECTORY, LOCK_EX); }
// A log line far longer than the memory the run is given below.
// Only the part of a log line from its first 'z' on is kept, so that part is
// the one made huge.
void HugeLogLine(const Folder& f) {
  f.Write("huge.001", "z" + std::string(40 << 20, 'x') + "zub=1\r\n");
}
// A log of 24 MiB in short lines ended by line feeds, each with a 'z'.
void LineFeedLog(const Folder& f) {
  std::string log = "12:00 zub=5\n";
  while (log.size() < (24 << 20)) log += log;
  f.Write("log.001", log + "zub=77");
}

// Another user's (65534's) folder "user" beside the run's files, and files
// of root's that that user may not read: what the user puts in the folder
// must never lead a run of root's to them.
void GiveToAnother(const Folder& f, const std::string& name) {
  (void)::lchown((f / name).c_str(), 65534, 65534);
}
void RootsSecrets(const Folder& f) {
  f.Write("secret.ini", kSettings, 0600);
  f.Write("secret.001", "zub=999\r\n", 0600);
  fs::create_directory(f / "user");
  GiveToAnother(f, "user");
}
void UsersLinkToRootsFile(const Folder& f) {
  RootsSecrets(f);
  fs::create_symlink(f / "secret.ini", f / "user/InBetween.ini");
  GiveToAnother(f, "user/InBetween.ini");
}
void UsersLinkToRootsLog(const Folder& f) {
  RootsSecrets(f);
  fs::create_symlink("../secret.001", f / "user/log.001");
  GiveToAnother(f, "user/log.001");
}
void UsersFolderLinkToRootsFolder(const Folder& f) {
  RootsSecrets(f);
  f.Write("root/InBetween.ini", kSettings, 0600);
  fs::create_symlink("../root", f / "user/engine");
  GiveToAnother(f, "user/engine");
}
// A hard link the user made there.
void RootsFileInUsersFolder(const Folder& f) {
  RootsSecrets(f);
  fs::create_hard_link(f / "secret.ini", f / "user/InBetween.ini");
}
// The user's hard links to root's files in a shared folder like /tmp, beside
// the user's own log and settings file: a sticky folder keeps nobody from
// adding a name.
void HardLinksInSharedFolder(const Folder& f) {
  RootsSecrets(f);
  f.Write("sticky/user.log", kLog);
  f.Write("sticky/user.ini", kSettings);
  GiveToAnother(f, "sticky/user.log");
  GiveToAnother(f, "sticky/user.ini");
  fs::create_hard_link(f / "secret.001", f / "sticky/game.log");
  fs::create_hard_link(f / "secret.ini", f / "sticky/game.ini");
  ::chmod((f / "sticky").c_str(), 01777);
}
// A hard link in a folder of root's that a group may write: any member
// may have added it.
void HardLinkInGroupsFolder(const Folder& f) {
  RootsSecrets(f);
  fs::create_directory(f / "group");
  (void)::chown((f / "group").c_str(), 0, 65534);
  ::chmod((f / "group").c_str(), 0775);
  fs::create_hard_link(f / "secret.ini", f / "group/InBetween.ini");
}
// A chain of `links` links to the settings file, from "link0" on.
template <int links>
void Chain(const Folder& f) {
  for (int i = 0; i < links; ++i) {
    const std::string next = i + 1 < links ? "link" + std::to_string(i + 1) : "InBetween.ini";
    fs::create_symlink(next, f / ("link" + std::to_string(i)));
  }
}
// A shared folder like /tmp, where the user's link stands beside root's file.
void UsersLinkInStickyFolder(const Folder& f) {
  f.Write("sticky/secret.ini", kSettings, 0600);
  ::chmod((f / "sticky").c_str(), 01777);
  fs::create_symlink("secret.ini", f / "sticky/InBetween.ini");
  GiveToAnother(f, "sticky/InBetween.ini");
}

// Enough for the tool itself, far too little for a line of megabytes.
constexpr std::size_t kSmallMemory = 32 << 20;

// Runs that end with the report: nothing in the folder changes.
struct ReportCase {
  const char* name;
  std::vector<std::string> arguments;
  int code;
  bool native_only;
  void (*setup)(const Folder&) = nullptr;
  bool unprivileged = false;
  Output output = Output::kPipe;
  std::size_t memory_limit = 0;
  std::size_t file_size_limit = 0;
  // The setup gives files to another user, which only root can.
  bool needs_root = false;
};

// Refused (EPERM) with nothing read or changed, as another user could have
// steered the run; the setup gives files to that user, which only root can.
ReportCase Refused(const char* name, std::vector<std::string> arguments,
                   void (*setup)(const Folder&)) {
  ReportCase test{name, std::move(arguments), EPERM, true, setup};
  test.needs_root = true;
  return test;
}

// A native run given at most `memory` bytes of address space and `file_size`
// bytes of any file it writes (0: no limit).
ReportCase Limited(const char* name, std::vector<std::string> arguments, int code,
                   std::size_t memory, std::size_t file_size,
                   void (*setup)(const Folder&) = nullptr) {
  ReportCase test{name, std::move(arguments), code, true, setup};
  test.memory_limit = memory;
  test.file_size_limit = file_size;
  return test;
}

// The settings file grows by two bytes.
constexpr std::size_t kBelowNewLength = sizeof "a=1\r\nzub=345 b\r\nc zub=345\r\n" - 2;

const ReportCase kReports[] = {
    {"MissingLog", {"nothing.001", "InBetween.ini"}, 2, false},
    {"MissingSettings", {"log.001", "nothing.ini"}, 2, false},
    {"MissingLogFolder", {"none/log.001", "InBetween.ini"}, 2, true},
    {"MissingSettingsFolder", {"log.001", "none/x.ini"}, 2, true},
    {"LogIsAFolder", {"sub", "InBetween.ini"}, 21, true, SubFolder},
    {"ReadOnlySettings", {"log.001", "InBetween.ini"}, 13, true, ReadOnly, true},
    // The first 259 bytes of a long path name another file, which must not
    // be opened instead.
    {"SettingsPath260", {"log.001", PathOfLength(259, 's') + "x"}, 36, true, Settings259},
    {"LogPath260", {PathOfLength(259, 'l') + "x", "InBetween.ini"}, 36, true, Log259},
    {"OutputClosed", {"log.001", "InBetween.ini"}, 103, true, nullptr, false, Output::kClosed},
    {"SettingsIsAFolder", {"log.001", "sub"}, 21, true, SubFolder},
    // However a folder is named, at once.
    {"LogIsTheFolder", {".", "InBetween.ini"}, 21, true},
    {"SettingsIsTheFolder", {"log.001", "."}, 21, true},
    {"SettingsIsAFolderWithSlash", {"log.001", "sub/"}, 21, true, SubFolder},
    {"SettingsIsAFolderWithDot", {"log.001", "sub/."}, 21, true, SubFolder},
    // One link more than the system follows in a name.
    {"SettingsBehind41Links", {"log.001", "link0"}, ELOOP, true, Chain<41>},
    {"SettingsDanglingLink", {"log.001", "dangling.ini"}, 2, true, Dangling},
    {"LogStillBeingWritten", {"log.001", "InBetween.ini"}, EAGAIN, true, LogStillBeingWritten},
    // A lock held longer than a run waits.
    {"LogLockedByAnother", {"log.001", "InBetween.ini"}, EWOULDBLOCK, true, LogLockedByAnother},
    {"SettingsBeingRead", {"log.001", "InBetween.ini"}, EWOULDBLOCK, true, SettingsBeingRead},
    {"FolderBeingRewritten", {"log.001", "InBetween.ini"}, EWOULDBLOCK, true, FolderBeingRewritten},
    // A write past the file size limit fails; the old bytes stay, on both
    // routes, and no temporary file is left.
    Limited("FileSizeLimitReplaced", {"log.001", "InBetween.ini"}, EFBIG, 0, kBelowNewLength),
    Limited("FileSizeLimitInPlace", {"log.001", "InBetween.ini"}, EFBIG, 0, kBelowNewLength,
            SecondName),
    // Memory for a string runs out: the report names 203.
    Limited("HugeLogLine", {"huge.001", "InBetween.ini"}, 203, kSmallMemory, 0, HugeLogLine),
    // Endless zero bytes make one endless line.
    Limited("SettingsEndlessDevice", {"log.001", "/dev/full"}, 203, kSmallMemory, 0),
    // A folder or a link of another user leads only to what that user owns:
    // root's files stay as they are, and unread.
    Refused("UsersLinkToRootsFile", {"log.001", "user/InBetween.ini"}, UsersLinkToRootsFile),
    Refused("UsersLinkToRootsLog", {"user/log.001", "InBetween.ini"}, UsersLinkToRootsLog),
    Refused("UsersFolderLinkToRootsFolder", {"log.001", "user/engine/InBetween.ini"},
            UsersFolderLinkToRootsFolder),
    Refused("RootsFileInUsersFolder", {"log.001", "user/InBetween.ini"}, RootsFileInUsersFolder),
    Refused("UsersLinkInStickyFolder", {"log.001", "sticky/InBetween.ini"},
            UsersLinkInStickyFolder),
    Refused("UsersHardLinkToRootsLogInSharedFolder", {"sticky/game.log", "sticky/user.ini"},
            HardLinksInSharedFolder),
    Refused("UsersHardLinkToRootsFileInSharedFolder", {"sticky/user.log", "sticky/game.ini"},
            HardLinksInSharedFolder),
    Refused("HardLinkInGroupsFolder", {"log.001", "group/InBetween.ini"}, HardLinkInGroupsFolder),
};

TEST(Report, FailedOpenEndsWithReportAndChangesNothing) {
  for (const ReportCase& test : kReports) {
    SCOPED_TRACE(test.name);
    if (test.native_only && !NativeTool()) continue;
    if (test.memory_limit != 0 && !zub::testing::kOwnAllocator) continue;
    if (test.needs_root && ::geteuid() != 0) continue;
    Folder folder;
    folder.Fill();
    if (test.setup != nullptr) test.setup(folder);
    if (test.unprivileged) HandToNobody(folder.path());
    const auto before = folder.Snapshot();
    ToolRun run = In(folder, test.arguments);
    run.output = test.output;
    run.unprivileged = test.unprivileged;
    run.memory_limit = test.memory_limit;
    run.file_size_limit = test.file_size_limit;
    ToolResult result = RunTool(run);
    ExpectQuiet(result);
    EXPECT_EQ(result.exit_status, test.code);
    if (test.output == Output::kPipe) ExpectOutput(result.output, kBanner, test.code);
    EXPECT_EQ(folder.Snapshot(), before);
  }
}

// A device as the settings file is read like a file: /dev/null holds no tag.
TEST(Report, NullDeviceAsSettingsIsAControlledEnd) {
  ZUB_NATIVE_ONLY();
  Folder folder;
  folder.Fill();
  const auto before = folder.Snapshot();
  ToolResult result = RunTool(In(folder, {"log.001", "/dev/null"}));
  ExpectQuiet(result);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, kBanner + kNoTag + kPrompt);
  EXPECT_EQ(folder.Snapshot(), before);
}

// A pipe as the settings file: its writer hands the run the settings file's
// lines and ends the pipe, where the row says so after putting a link at the
// pipe's name. The run gives the lines back, whole, to the pipe it read and
// to nothing else: never through a link, never to a file it makes.
struct StreamCase {
  const char* name;
  const char* link;  // where the name leads once the pipe ends; nullptr: the pipe
  int status;
};

const StreamCase kStreams[] = {
    {"LinesGoBackToThePipe", nullptr, 0},
    {"PipeSwappedForLinkToFile", "secret.ini", ESTALE},
    {"PipeSwappedForLinkToNothing", "new.ini", ESTALE},
};

TEST(Report, PipeGetsItsLinesBackAndNothingElse) {
  ZUB_NATIVE_ONLY();
  for (const StreamCase& test : kStreams) {
    SCOPED_TRACE(test.name);
    Folder folder;
    folder.Write("log.001", kLog);
    folder.Write("secret.ini", "root only\r\n", 0600);
    const std::string pipe = folder / "InBetween.ini";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0) << std::strerror(errno);
    std::string received;
    std::atomic<bool> done = false;
    std::thread writer([&] {
      int fd = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the run to read
      (void)!::write(fd, kSettings.data(), kSettings.size());
      if (test.link != nullptr) {
        fs::rename(pipe, folder / "pipe");
        fs::create_symlink(test.link, pipe);
      }
      ::close(fd);
      if (test.link == nullptr) {
        fd = ::open(pipe.c_str(), O_RDONLY | O_CLOEXEC);  // waits for the run to write
        char bytes[4096];
        for (ssize_t got; (got = ::read(fd, bytes, sizeof bytes)) > 0;) {
          received.append(bytes, static_cast<std::size_t>(got));
        }
        ::close(fd);
      }
      done = true;
    });
    const ToolResult result = RunTool(In(folder, {"log.001", "InBetween.ini"}));
    // A run that never came to an open leaves the writer waiting there.
    while (!done) {
      ::close(::open(pipe.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    writer.join();
    ExpectQuiet(result);
    EXPECT_EQ(result.exit_status, test.status);
    ExpectOutput(result.output, test.status == 0 ? kBanner + kConverted + kPrompt : kBanner,
                 test.status);
    EXPECT_EQ(received, test.link == nullptr ? kPatched : "");
    EXPECT_EQ(folder.Read("secret.ini"), "root only\r\n");
    EXPECT_FALSE(fs::exists(folder / "new.ini"));
  }
}

// The conversion itself, with the log and the settings file side by side.
struct ConversionCase {
  std::string name;
  std::string log;
  std::string settings;
  std::string message;
  std::string patched;                     // the settings file afterwards
  void (*setup)(const Folder&) = nullptr;  // writes what the row is too large to hold
  std::size_t memory_limit = 0;
};

// A settings file of `count` lines whose line `tagged` holds the tag.
std::string Lines(int count, int tagged, const std::string& value) {
  std::string text;
  for (int k = 1; k <= count; ++k) {
    text += k == tagged ? "engine zub=" + value + " on\r\n" : "line " + std::to_string(k) + "\r\n";
  }
  return text;
}

// One line of a log; `value` is what the run carries over, empty for none.
ConversionCase FromLog(std::string name, const std::string& line, const std::string& value) {
  const std::string settings = "k=1\r\nzub=9 rest\r\n";
  if (value.empty()) return {std::move(name), line + "\r\n", settings, kNoValue, settings};
  return {std::move(name), line + "\r\n", settings, kConverted,
          "k=1\r\nzub=" + value + " rest\r\n"};
}

// One line of a settings file, before and after a run with the value 345.
ConversionCase FromSettings(std::string name, const std::string& before, const std::string& after) {
  return {std::move(name), "zub=345\r\n", before + "\r\n", kConverted, after + "\r\n"};
}

std::vector<ConversionCase> Conversions() {
  return {
      FromLog("LogDigitsThenSemicolon", "zub=0042;x", "0042"),
      FromLog("LogTagEndsLine", "zub=17", "17"),
      FromLog("LogTagInsideLine", "#12 zub=815 ok", "815"),
      FromLog("LogFirstTagOfLine", "a zub=1 b zub=2", "1"),
      FromLog("LogDigitsUpToLetter", "zub=12a34", "12"),
      FromLog("LogSign", "zub=-3", ""),
      FromLog("LogLetter", "zub=x", ""),
      FromLog("LogNothingBehindTag", "text zub=", ""),
      FromLog("LogUpperCaseTag", "ZUB=12", ""),
      FromLog("LogOtherZsBeforeTag", "lazy fizz zzub=42 zub=7", "42"),
      FromLog("LogTagAcrossRefill", std::string(126, '.') + "zub=8", "8"),
      {"LogZEndsLine", "zub=5\r\nquiz\r\nz\r\n", "zub=9\r\n", kConverted, "zub=5\r\n"},
      FromLog("LogLongValue", "zub=00012345678901234567890123456789",
              "00012345678901234567890123456789"),
      {"LogEmpty", "", "zub=9\r\n", kNoValue, "zub=9\r\n"},
      {"LogLastTagDecides", "zub=12\r\nx\r\nzub=345\r\ny\r\n", "zub=9\r\n", kConverted,
       "zub=345\r\n"},
      {"LogLaterTagWithoutDigits", "zub=12\r\nzub=\r\n", "zub=9\r\n", kNoValue, "zub=9\r\n"},
      {"LogLastLineWithoutEnd", "zub=12\r\nlast zub=77", "zub=9\r\n", kConverted, "zub=77\r\n"},
      {"LogLoneCarriageReturns", "zub=1\rzub=2\r", "zub=9\r\n", kConverted, "zub=2\r\n"},
      // In the log, a lone line feed ends a line too.
      {"LogLineFeedsOnly", "x\nzub=12\nzub=34\n", "zub=9\r\n", kConverted, "zub=34\r\n"},
      {"LogMixedLineEnds", "zub=1\r\nzub=2\nx\rzub=3\nzub=4 zub=5\n", "zub=9\r\n", kConverted,
       "zub=4\r\n"},
      {"LogLineFeedsLaterTagWithoutDigits", "zub=12\nzub=\n", "zub=9\r\n", kNoValue, "zub=9\r\n"},
      // Each line is kept apart, so the whole log never is.
      {"LogLineFeedsOnlyInLittleMemory", "", "zub=9\r\n", kConverted, "zub=77\r\n", LineFeedLog,
       kSmallMemory},
      {"LogTagBehindEndMarker", "zub=12\r\n\x1Azub=99\r\n", "zub=9\r\n", kConverted, "zub=12\r\n"},
      FromSettings("SettingsValueBetweenBlanks", "path=x zub=12 y", "path=x zub=345 y"),
      FromSettings("SettingsValueBeforeBackslash", "zub=12\\book", "zub=345\\book"),
      FromSettings("SettingsEmptyValue", "zub= y", "zub=345 y"),
      FromSettings("SettingsLetters", "mode zub=abc", "mode zub=345"),
      FromSettings("SettingsCommaAndTab", "zub=ab,cd\tef gh", "zub=345 gh"),
      FromSettings("SettingsFirstTagOfLine", "zub=1 zub=2", "zub=345 zub=2"),
      FromSettings("SettingsTagEndsLine", "last zub=", "last zub=345"),
      FromSettings("SettingsTagThenBackslash", "zub=\\x", "zub=345\\x"),
      {"SettingsThreeLines", "zub=815\r\n", "a=1\r\nb zub=7 c\r\nd=4\r\n", kConverted,
       "a=1\r\nb zub=815 c\r\nd=4\r\n"},
      {"SettingsTwoTaggedLines", "zub=345\r\n", "zub=1\r\nx\r\nzub=2\r\n", kConverted,
       "zub=345\r\nx\r\nzub=2\r\n"},
      {"SettingsEmpty", "zub=345\r\n", "", kNoTag, ""},
      {"SettingsWithoutTag", "zub=345\r\n", "a=1\r\nZUB=2\r\n", kNoTag, "a=1\r\nZUB=2\r\n"},
      {"SettingsHundredLines", "zub=345\r\n", Lines(100, 100, "1"), kConverted,
       Lines(100, 100, "345")},
      {"SettingsEndMarkerAfterThirdLine", "zub=345\r\n", "a\r\nb\r\nzub=1\r\n\x1Arest\r\nzub=2\r\n",
       kConverted, "a\r\nb\r\nzub=345\r\n"},
      {"SettingsLastLineWithoutEnd", "zub=345\r\n", "a\r\nzub=1", kConverted, "a\r\nzub=345\r\n"},
      {"SettingsLoneCarriageReturns", "zub=345\r\n", "a\rzub=1\rb", kConverted,
       "a\r\nzub=345\r\nb\r\n"},
      {"SettingsEmptyLinesAndZeroBytes", "zub=345\r\n", "\r\n\0x\r\nzub=1\r\n\r\n"s, kConverted,
       "\r\n\0x\r\nzub=345\r\n\r\n"s},
      // The old value ends at a line feed, so the lines behind it survive.
      {"SettingsLineFeedsOnly", "zub=345\r\n", "a=1\nzub=7\nb=2\n", kConverted,
       "a=1\nzub=345\nb=2\n\r\n"},
      {"SettingsThousandsOfLines", "zub=345\r\n", Lines(5000, 2500, "7"), kConverted,
       Lines(5000, 2500, "345")},
      // Hostile content: every byte but CR and 0x1A is carried as it is.
      {"ZeroAndHighBytes", "\x80\0zub=12\xFF zub=3\r\n\xFE\xFF\r\n"s,
       "\xE9t\xE9=\0\x80\r\nzub=\xFF\xFE \xA0\0\r\n"s, kConverted,
       "\xE9t\xE9=\0\x80\r\nzub=12 \xA0\0\r\n"s},
      {"MegabyteLines", std::string(3 << 20, '\x80') + "zub=77\r\n" + std::string(2 << 20, 'y'),
       std::string(2 << 20, 's') + "\r\nzub=1 " + std::string(1 << 20, '\xFF') + "\r\n", kConverted,
       std::string(2 << 20, 's') + "\r\nzub=77 " + std::string(1 << 20, '\xFF') + "\r\n"},
      {"LogOfEndMarkersOnly", "\x1A\x1A\x1A", "zub=9\r\n", kNoValue, "zub=9\r\n"},
      {"SettingsBehindEndMarker", "zub=345\r\n", "\x1Azub=1\r\n", kNoTag, "\x1Azub=1\r\n"},
  };
}

void PrintTo(const ConversionCase& test, std::ostream* out) { *out << test.name; }

class Conversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, SettingsFileBytesAfterTheRun) {
  const ConversionCase& test = GetParam();
  if (test.memory_limit != 0 && !(NativeTool() && zub::testing::kOwnAllocator)) {
    GTEST_SKIP() << "a memory limit needs the native build with its own allocator";
  }
  Folder folder;
  folder.Write("log.001", test.log);
  folder.Write("InBetween.ini", test.settings);
  if (test.setup != nullptr) test.setup(folder);
  auto expected = folder.Snapshot();
  expected["InBetween.ini"].second = test.patched;
  ToolRun run = In(folder, {"log.001", "InBetween.ini"});
  run.memory_limit = test.memory_limit;
  ToolResult result = RunTool(run);
  ExpectQuiet(result);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, kBanner + test.message + kPrompt);
  EXPECT_EQ(folder.Read("InBetween.ini"), test.patched);
  // Only the settings file's content changes: no other file, no mode, no owner.
  EXPECT_EQ(folder.Snapshot(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Conversion, ::testing::ValuesIn(Conversions()),
                         [](const auto& row) { return row.param.name; });

// The paths the tool is given, and the files behind them.
struct PathCase {
  const char* name;
  std::string log;
  std::string settings;
  std::string settings_file;  // where the settings live, if not at `settings`
  void (*setup)(const Folder&);
  bool native_only;
  bool unprivileged = false;
  // A second name of the settings file, which shows the new content too.
  const char* second_name = nullptr;
  // An attribute the setup gives the settings file where the system lets
  // it; without it the case says so and is left out.
  const char* attribute = nullptr;
  // Empty arguments in front of the two paths, which the splitting drops.
  std::size_t empty_first = 0;
};

// What the rewrite must keep of the settings file.
void AclAndAttribute(const Folder& f) {
  const std::string file = f / "InBetween.ini";
  (void)::setxattr(file.c_str(), "user.note", "kept", 4, 0);
  (void)!std::system(("setfacl -m u:nobody:rw " + file + " 2>/dev/null").c_str());
}
// The runner may write the file as a member of its group, but cannot give
// a new file root as its owner.
void RootsGroupMayWrite(const Folder& f) {
  (void)::chown((f / "InBetween.ini").c_str(), 0, 65534);
  ::chmod((f / "InBetween.ini").c_str(), 0664);
}
// A folder whose default ACL a new file would take over.
void DefaultAclOfTheFolder(const Folder& f) {
  (void)!std::system(("setfacl -d -m u:nobody:r " + f.path() + " 2>/dev/null").c_str());
}
// What the system takes from a file that is written: set-id bits (from a
// writer without CAP_FSETID) and capabilities (from any writer).
void SetIdAndCapability(const Folder& f) {
  const std::string file = f / "InBetween.ini";
  (void)::chown(file.c_str(), 65534, 65534);
  ::chmod(file.c_str(), 06755);
  // Revision 2: permitted CAP_NET_BIND_SERVICE, nothing inheritable.
  const std::uint32_t capability[5] = {0x02000000, 1u << 10, 0, 0, 0};
  (void)::setxattr(file.c_str(), "security.capability", capability, sizeof capability, 0);
}
// A folder like /tmp, and a file of root's in it that anyone may write.
void StickyFolderOfRoot(const Folder& f) {
  for (const auto& [name, mode] : {std::pair{"sticky", 01777}, {"sticky/InBetween.ini", 0666}}) {
    (void)::chown((f / name).c_str(), 0, 0);
    ::chmod((f / name).c_str(), static_cast<mode_t>(mode));
  }
}

// The runner's own file, of another group.
void GroupOfAnother(const Folder& f) { (void)::chown((f / "InBetween.ini").c_str(), 0, 65534); }
void UsersOwnFile(const Folder& f) {
  GiveToAnother(f, "user");
  GiveToAnother(f, "user/InBetween.ini");
}
void RootsLinkToUsersFile(const Folder& f) {
  UsersOwnFile(f);
  fs::create_symlink("user/InBetween.ini", f / "link.ini");
}
// Another user's folder that the group may write, as a team shares one;
// root's own files in it have one name each, which only root gave them.
void TeamFolder(const Folder& f) {
  GiveToAnother(f, "team");
  ::chmod((f / "team").c_str(), 02775);
}
// A link whose target is longer than a first read of it takes.
void LongLink(const Folder& f) {
  std::string target;
  while (target.size() < 300) target += "./";
  fs::create_symlink(target + "engine/real.ini", f / "long.ini");
}
// The user's own link, by a whole path through folders of root's.
void UsersAbsoluteLinkToOwnFile(const Folder& f) {
  UsersOwnFile(f);
  fs::create_symlink(f / "user/InBetween.ini", f / "user/link.ini");
  GiveToAnother(f, "user/link.ini");
}
// The runner's own link, by a whole path through folders of root's.
void RunnersAbsoluteLink(const Folder& f) {
  fs::create_symlink(f / "engine/real.ini", f / "link.ini");
  HandToNobody(f.path());
}

const PathCase kPaths[] = {
    {"Blanks", "my logs/log 001.txt", "engine dir/In Between.ini", "", nullptr, false},
    {"SameFileForBoth", "both.ini", "both.ini", "", nullptr, false},
    {"Length259", PathOfLength(259, 'l'), PathOfLength(259, 's'), "", nullptr, true},
    // The file the link points to is replaced; the link stays a link.
    {"SymbolicLink", "log.001", "link.ini", "engine/real.ini", Link, true},
    // The folder takes no new file: the file is rewritten where it is.
    {"FolderWithoutWriting", "log.001", "locked/InBetween.ini", "", Locked, true, true},
    // Root gives the new file the old one's owner.
    {"OtherOwner", "log.001", "InBetween.ini", "", OtherOwner, true},
    {"GroupOfAnother", "log.001", "InBetween.ini", "", GroupOfAnother, true},
    // A log of another owner cannot be read without access times: it is read
    // the usual way.
    {"LogOfAnotherOwner", "log.001", "InBetween.ini", "", RootsLog, true, true},
    // Names are bytes: none of them is turned into another.
    {"HighBytesInNames", "\xE9t\xE9/log\xFF.001", "r\xE9glages/\x80\xFF.ini", "", nullptr, true},
    // Kept in place: both names show the new content, and stay one file.
    {"SecondName", "log.001", "InBetween.ini", "", SecondName, true, false, "second.ini"},
    // Who may do what stays as it was: the ACL's named user keeps access,
    // the group gains none, the attribute stays.
    {"AclAndAttribute", "log.001", "InBetween.ini", "", AclAndAttribute, true, false, nullptr,
     "system.posix_acl_access"},
    {"OwnerKeptForUnprivilegedRunner", "log.001", "InBetween.ini", "", RootsGroupMayWrite, true,
     true},
    {"StickyFolderOfAnother", "log.001", "sticky/InBetween.ini", "", StickyFolderOfRoot, true,
     true},
    {"DefaultAclOfTheFolder", "log.001", "InBetween.ini", "", DefaultAclOfTheFolder, true},
    {"LogBeingRead", "log.001", "InBetween.ini", "", LogBeingRead, true},
    {"SetIdAndCapability", "log.001", "InBetween.ini", "", SetIdAndCapability, true, false, nullptr,
     "security.capability"},
    // What root and the runner own leads anywhere; another user's folder
    // leads to that user's own files.
    {"UsersFileInUsersFolder", "log.001", "user/InBetween.ini", "", UsersOwnFile, true},
    {"RootsLinkIntoUsersFolder", "log.001", "link.ini", "user/InBetween.ini", RootsLinkToUsersFile,
     true},
    {"RunnersLinkFromElsewhere", "log.001", "link.ini", "engine/real.ini", RunnersAbsoluteLink,
     true, true},
    {"UsersAbsoluteLinkToOwnFile", "log.001", "user/link.ini", "user/InBetween.ini",
     UsersAbsoluteLinkToOwnFile, true},
    {"TeamFolderOfAnother", "team/log.001", "team/InBetween.ini", "", TeamFolder, true},
    {"LinkTargetLongerThan256", "log.001", "long.ini", "engine/real.ini", LongLink, true},
    {"Behind40Links", "log.001", "link0", "InBetween.ini", Chain<40>, true},
    // zub "" "" log.001 InBetween.ini
    {"TwoEmptyArgumentsFirst", "log.001", "InBetween.ini", "", nullptr, false, false, nullptr,
     nullptr, 2},
};

TEST(Paths, ConversionThroughEveryKindOfPath) {
  for (const PathCase& test : kPaths) {
    SCOPED_TRACE(test.name);
    if (test.native_only && !NativeTool()) continue;
    Folder folder;
    const std::string file = test.settings_file.empty() ? test.settings : test.settings_file;
    if (test.log != test.settings) folder.Write(test.log, kLog);
    folder.Write(file, kSettings);
    if (test.unprivileged) HandToNobody(folder.path());
    if (test.setup != nullptr) test.setup(folder);
    if (test.attribute != nullptr &&
        folder.Attributes(file).find(test.attribute) == std::string::npos) {
      std::cout << "[ skipped  ] " << test.name << ": the system gave the file no "
                << test.attribute << " (setfacl missing?)\n";
      continue;
    }
    auto expected = folder.Snapshot();
    expected[file].second = kPatched;
    if (test.second_name != nullptr) expected[test.second_name].second = kPatched;
    std::vector<std::string> arguments(test.empty_first, "");
    arguments.insert(arguments.end(), {test.log, test.settings});
    ToolRun run = In(folder, arguments);
    run.unprivileged = test.unprivileged;
    ToolResult result = RunTool(run);
    ExpectQuiet(result);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, kBanner + kConverted + kPrompt);
    EXPECT_EQ(folder.Read(file), kPatched);
    // The rest as it was: links, modes, owners, attributes, no stray file.
    EXPECT_EQ(folder.Snapshot(), expected);
  }
}

// The runner's own open files are what /proc names them: a pipe as the log,
// through the names a shell gives one.
TEST(Paths, TheRunnersOpenFilesAreWhatTheyName) {
  ZUB_NATIVE_ONLY();
  const std::pair<const char*, std::vector<std::string>> kLogs[] = {
      {"/dev/stdin", {}},
      {"/proc/self/fd/0", {}},
      // As `zub <(cmd) InBetween.ini` starts it.
      {"/dev/fd/3", {"/bin/sh", "-c", R"(exec "$0" "$@" 3<&0)"}},
  };
  for (const auto& [log, wrapper] : kLogs) {
    SCOPED_TRACE(log);
    Folder folder;
    folder.Write("InBetween.ini", kSettings);
    ToolRun run = In(folder, {log, "InBetween.ini"});
    run.input_bytes = kLog;
    run.wrapper = wrapper;
    ToolResult result = RunTool(run);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, kBanner + kConverted + kPrompt);
    EXPECT_EQ(folder.Read("InBetween.ini"), kPatched);
  }
}

// In a user namespace of the runner's own (`unshare -Ur`, as rootless
// containers and sandboxes start), everyone outside its map is one owner
// that cannot be known: the runner's own files convert by their whole
// paths, and another user's link to a third user's file stays unused.
TEST(Paths, UserNamespaceOfTheRunner) {
  ZUB_NATIVE_ONLY();
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of three users";
  for (const auto& [settings, code] : {std::pair{"InBetween.ini", 0}, {"other/In.ini", EPERM}}) {
    SCOPED_TRACE(settings);
    Folder folder;
    folder.Fill();
    HandToNobody(folder.path());
    folder.Write("third.ini", kSettings, 0666);
    fs::create_directory(folder / "other");
    fs::create_symlink(folder / "third.ini", folder / "other/In.ini");
    for (const char* name : {"third.ini", "other", "other/In.ini"}) {
      (void)::lchown((folder / name).c_str(), name[0] == 't' ? 2 : 1, 1);
    }
    const auto before = folder.Snapshot();
    ToolRun run = In(folder, {folder / "log.001", folder / settings});
    run.unprivileged = true;
    run.wrapper = {"unshare", "-Ur"};
    ToolResult result = RunTool(run);
    if (result.output.empty()) GTEST_SKIP() << "no user namespace here: " << result.errors;
    EXPECT_EQ(result.exit_status, code);
    if (code != 0) {
      ExpectOutput(result.output, kBanner, code);
      EXPECT_EQ(folder.Snapshot(), before);
    } else {
      EXPECT_EQ(folder.Read(settings), kPatched);
    }
  }
}

// Runs at the same moment on one settings file, each with a value of its
// own length: the file ends as exactly one of them left it, whole.
struct RaceCase {
  const char* name;
  std::string settings;  // the settings file's path
  void (*setup)(const Folder&);
  bool unprivileged;
};

const RaceCase kRaces[] = {
    {"Replaced", "InBetween.ini", nullptr, false},
    {"InPlaceForASecondName", "InBetween.ini", SecondName, false},
    {"InPlaceForTheFolder", "locked/InBetween.ini", Locked, true},
};

TEST(Rewrite, SimultaneousRunsLeaveOneWholeVersion) {
  ZUB_NATIVE_ONLY();
  constexpr int kRuns = 30;
  const std::string body = Lines(60, 30, "7");
  for (const RaceCase& test : kRaces) {
    SCOPED_TRACE(test.name);
    Folder folder;
    folder.Write(test.settings, body);
    std::set<std::string> versions;
    for (int k = 0; k < kRuns; ++k) {
      const std::string value(static_cast<std::size_t>(k % 7 + 1), static_cast<char>('1' + k % 9));
      folder.Write("log" + std::to_string(k), "x\r\nzub=" + value + "\r\n");
      versions.insert(Lines(60, 30, value));
    }
    if (test.unprivileged) HandToNobody(folder.path());
    if (test.setup != nullptr) test.setup(folder);
    const auto before = folder.Snapshot();

    std::vector<ToolResult> results(kRuns);
    std::vector<std::thread> runs;
    for (int k = 0; k < kRuns; ++k) {
      runs.emplace_back([&, k] {
        ToolRun run = In(folder, {"log" + std::to_string(k), test.settings});
        run.unprivileged = test.unprivileged;
        results[static_cast<std::size_t>(k)] = RunTool(run);
      });
    }
    for (std::thread& run : runs) run.join();
    for (const ToolResult& result : results) {
      ExpectQuiet(result);
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(result.output, kBanner + kConverted + kPrompt);
    }
    const std::string after = folder.Read(test.settings);
    EXPECT_TRUE(versions.contains(after)) << after;
    // Nothing else changed, and no temporary file is left.
    auto expected = before;
    expected[test.settings].second = after;
    if (test.setup == SecondName) expected["second.ini"].second = after;
    EXPECT_EQ(folder.Snapshot(), expected);
  }
}

// A small disk of its own, filled to the last byte or to the last inode, an
// ext2 disk, which takes no room without writing and keeps inode flags, and
// a file mounted over a name: things a container's or a careful user's
// setup has, which a test can make only as root, in a mount namespace of its
// own.
constexpr const char* kSmallTmpfs = "size=256k,mode=0700";
struct DiskCase {
  const char* name;
  bool full;
  void (*setup)(const Folder&);
  int status;
  bool converted;
  // tmpfs with these options, or else an ext2 disk image on a loop device.
  const char* tmpfs = kSmallTmpfs;
  // Inode flags (chattr) the settings file has before and after.
  const char* flags = nullptr;
  // The settings file's value before the run, which gives it 345.
  const char* old_value = "7";
  // The files lie in the lower layer of an overlay (as in a container),
  // whose upper layer is another tmpfs.
  bool overlay = false;
};

// A file mounted over the settings file's name: it cannot be renamed over.
void MountedOver(const Folder& f) {
  f.Write("real.ini", f.Read("InBetween.ini"));
  ASSERT_EQ(
      ::mount((f / "real.ini").c_str(), (f / "InBetween.ini").c_str(), nullptr, MS_BIND, nullptr),
      0)
      << std::strerror(errno);
}

const DiskCase kDisks[] = {
    {"FullDiskReplaced", true, nullptr, ENOSPC, false},
    {"FullDiskInPlace", true, SecondName, ENOSPC, false},
    {"MountedFileInPlace", false, MountedOver, 0, true},
    // The folder, the log and the settings file take every inode there is.
    {"NoFreeInodeInPlace", false, nullptr, 0, true, "size=256k,nr_inodes=3,mode=0700"},
    {"Ext2Replaced", false, nullptr, 0, true, nullptr, "dA"},
    {"Ext2InPlace", false, SecondName, 0, true, nullptr},
    // A value that fits where the old one stands still goes in.
    {"FullDiskSameLength", true, nullptr, 0, true, kSmallTmpfs, nullptr, "777"},
    {"FullDiskShorter", true, nullptr, 0, true, kSmallTmpfs, nullptr, "77777"},
    // Written in place: the overlay copies the file up to the upper layer,
    // which breaks its link with the second name, still in the lower one.
    {"OverlayInPlace", false, SecondName, 0, true, kSmallTmpfs, nullptr, "7", true},
};

// The inode flags of a file, as lsattr shows them.
std::string FlagsOf(const std::string& path) {
  std::string text(64, '\0');
  FILE* lsattr = ::popen(("lsattr -d '" + path + "' 2>&1").c_str(), "r");
  text.resize(lsattr == nullptr ? 0 : std::fread(text.data(), 1, text.size(), lsattr));
  if (lsattr != nullptr) ::pclose(lsattr);
  return text.substr(0, text.find(' '));
}

TEST(Rewrite, FullDiskChangesNothingAndAMountedFileIsWrittenInPlace) {
  ZUB_NATIVE_ONLY();
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a disk and mounts of its own";
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  for (const DiskCase& test : kDisks) {
    SCOPED_TRACE(test.name);
    // 4095 bytes: with the value 7 one page too few for the new content.
    const std::string rest = std::string(4087 - std::strlen(test.old_value), 'p') + "\r\n";
    const std::string settings = "zub=" + std::string(test.old_value) + "\r\n" + rest;
    const std::string patched = "zub=345\r\n" + rest;
    Folder folder;
    const std::string image = folder.path() + ".ext2";
    if (test.tmpfs != nullptr) {
      ASSERT_EQ(::mount("zub", folder.path().c_str(), "tmpfs", 0, test.tmpfs), 0)
          << std::strerror(errno);
    } else if (std::system(("truncate -s 2M " + image + " && mkfs.ext2 -q -F " + image +
                            " && mount -o loop " + image + " " + folder.path())
                               .c_str()) != 0) {
      std::cout << "[ skipped  ] " << test.name << ": no ext2 disk on a loop device here\n";
      continue;
    }
    folder.Write("log.001", "zub=345\r\n");
    folder.Write("InBetween.ini", settings);
    if (test.setup != nullptr) test.setup(folder);
    const std::string upper = folder.path() + ".upper";
    if (test.overlay) {
      fs::create_directory(upper);
      ASSERT_EQ(::mount("zub", upper.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
      fs::create_directories(upper + "/files");
      fs::create_directories(upper + "/work");
      const std::string layers =
          "lowerdir=" + folder.path() + ",upperdir=" + upper + "/files,workdir=" + upper + "/work";
      ASSERT_EQ(::mount("zub", folder.path().c_str(), "overlay", 0, layers.c_str()), 0)
          << std::strerror(errno);
    }
    const std::string settings_path = folder / "InBetween.ini";
    if (test.flags != nullptr) {
      ASSERT_EQ(std::system(("chattr +" + std::string(test.flags) + " " + settings_path).c_str()),
                0);
    }
    const std::string flags = FlagsOf(settings_path);
    if (test.full) {
      std::ofstream filler(folder / "filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
             filler.flush()) {
      }
    }
    auto expected = folder.Snapshot();
    for (const char* name : {"InBetween.ini", "real.ini", "second.ini"}) {
      if (test.converted && expected.contains(name)) expected[name].second = patched;
    }
    if (test.overlay) {
      expected["second.ini"].second = settings;
      std::string& facts = expected["InBetween.ini"].first;
      facts.replace(facts.find(" links 2 "), 9, " links 1 ");
    }
    ToolResult result = RunTool(In(folder, {"log.001", "InBetween.ini"}));
    ExpectQuiet(result);
    EXPECT_EQ(result.exit_status, test.status);
    ExpectOutput(result.output, test.converted ? kBanner + kConverted + kPrompt : kBanner,
                 test.status);
    EXPECT_EQ(folder.Snapshot(), expected);
    EXPECT_EQ(FlagsOf(settings_path), flags);
    (void)::umount2((folder / "InBetween.ini").c_str(), MNT_DETACH);
    if (test.overlay) {
      ASSERT_EQ(::umount2(folder.path().c_str(), MNT_DETACH), 0);
      ASSERT_EQ(::umount2(upper.c_str(), MNT_DETACH), 0);
      fs::remove_all(upper);
    }
    ASSERT_EQ(::umount2(folder.path().c_str(), MNT_DETACH), 0);
    fs::remove(image);
  }
}

}  // namespace
}  // namespace zub::e2e
