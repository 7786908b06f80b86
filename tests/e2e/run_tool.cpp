#include "e2e/run_tool.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace zub::e2e {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeLimit = std::chrono::seconds(30);
constexpr uid_t kNobody = 65534;

bool IsExe(std::string word) {
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return word.ends_with(".exe");
}

// An unlinked scratch file, for standard input or output.
int ScratchFile(const std::string& content) {
  const char* base = std::getenv("TMPDIR");
  std::string name = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zubXXXXXX";
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  ::unlink(name.c_str());
  if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    ::close(fd);
    return -1;
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string ReadWhole(int fd) {
  std::string content;
  char buffer[4096];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return content;
}

// The descriptors the child gets as 0, 1 and 2; -1 for a closed one.
struct Plumbing {
  int input = -1;
  int output = -1;
  int errors = -1;
  bool terminal = false;
};

[[noreturn]] void Fail(const char* step) {
  const char* reason = std::strerror(errno);
  (void)!::write(2, step, std::strlen(step));
  (void)!::write(2, ": ", 2);
  (void)!::write(2, reason, std::strlen(reason));
  ::_exit(127);
}

// In the child, between fork and exec.
[[noreturn]] void StartChild(const ToolRun& run, const Plumbing& plumbing, char* const argv[]) {
  ::signal(SIGPIPE, SIG_DFL);  // the tool must make its own choice
  if (plumbing.errors >= 0 && ::dup2(plumbing.errors, 2) < 0) Fail("dup2 2");
  if (plumbing.terminal) {
    if (::setsid() < 0) Fail("setsid");
    if (::ioctl(plumbing.output, TIOCSCTTY, 0) < 0) Fail("TIOCSCTTY");
  }
  const int wanted[2] = {plumbing.input, plumbing.output};
  for (int target = 0; target < 2; ++target) {
    if (wanted[target] < 0) {
      ::close(target);
    } else if (::dup2(wanted[target], target) < 0) {
      Fail("dup2");
    }
  }
  if (!run.folder.empty() && ::chdir(run.folder.c_str()) != 0) Fail("chdir");
  for (const auto& [resource, bytes] :
       {std::pair{RLIMIT_AS, run.memory_limit}, {RLIMIT_FSIZE, run.file_size_limit}}) {
    const rlimit limit = {bytes, bytes};
    if (bytes != 0 && ::setrlimit(resource, &limit) != 0) Fail("setrlimit");
  }
  if (run.unprivileged && ::geteuid() == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      Fail("dropping privileges");
    }
  }
  ::execvp(argv[0], argv);
  Fail(argv[0]);
}

struct Source {
  int fd;
  std::string* sink;
};

// Reads every source into its sink until all have ended, `done` holds, or
// the deadline passes. False on the deadline.
template <typename Done>
bool Collect(std::vector<Source> sources, Clock::time_point deadline, Done done) {
  while (!sources.empty() && !done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    std::vector<pollfd> polls;
    for (const Source& source : sources) polls.push_back({source.fd, POLLIN, 0});
    int ready = ::poll(polls.data(), polls.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return false;
    for (std::size_t i = polls.size(); i-- > 0;) {
      if (polls[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = ::read(sources[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sources[i].sink->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));  // ended (EIO: terminal)
      }
    }
  }
  return true;
}

// The tool as user 65534 can start it: a copy in a folder of its own below
// the temporary folder, since the build may lie where only its owner can
// enter (root's home, a folder made by mktemp -d). Removed when the tests end.
class ReachableCopy {
 public:
  explicit ReachableCopy(const std::string& program) {
    std::string folder = (fs::temp_directory_path() / "zub-program-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) return;
    folder_ = folder;
    path_ = folder + "/" + fs::path(program).filename().string();
    std::error_code error;
    fs::copy_file(program, path_, error);
    ::chmod(folder.c_str(), 0755);
    ::chmod(path_.c_str(), 0755);
  }
  ~ReachableCopy() {
    std::error_code error;
    if (!folder_.empty()) fs::remove_all(folder_, error);
  }
  ReachableCopy(const ReachableCopy&) = delete;
  ReachableCopy& operator=(const ReachableCopy&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

}  // namespace

std::vector<std::string> ToolCommand() {
  const char* command = std::getenv("ZUB_E2E_COMMAND");
  if (command == nullptr || *command == '\0') return {ZUB_E2E_DEFAULT_COMMAND};
  std::vector<std::string> words;
  std::istringstream stream(command);
  // The tool runs in a folder of its own: a relative path would miss it.
  for (std::string word; stream >> word;) {
    words.push_back(word.find('/') == std::string::npos ? word : fs::absolute(word).string());
  }
  return words;
}

bool NativeTool() {
  std::vector<std::string> command = ToolCommand();
  return command.size() == 1 && !IsExe(command.front());
}

void HandToNobody(const std::string& folder) {
  if (::geteuid() != 0) return;
  (void)::lchown(folder.c_str(), kNobody, kNobody);
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    (void)::lchown(entry.path().c_str(), kNobody, kNobody);
  }
}

namespace {

ToolResult RunOnce(const ToolRun& run) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that has gone must not take the tests along
  // New descriptors must never be 0, 1 or 2, which the child's are put on.
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDWR);
  }
  ToolResult result;
  const bool terminal = run.output == Output::kTerminal;

  std::vector<std::string> words = ToolCommand();
  if (run.unprivileged && ::geteuid() == 0 && NativeTool()) {
    static const ReachableCopy copy(words.front());
    words.front() = copy.path();
  }
  words.insert(words.begin(), run.wrapper.begin(), run.wrapper.end());
  words.insert(words.end(), run.arguments.begin(), run.arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  Plumbing plumbing;
  plumbing.terminal = terminal;
  std::vector<int> close_after_fork;  // the child's ends
  int feed = -1, output_file = -1, output_pipe = -1, master = -1;
  int errors[2];
  if (::pipe2(errors, O_CLOEXEC) != 0) return result;
  plumbing.errors = errors[1];
  close_after_fork.push_back(errors[1]);

  if (terminal) {
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return result;
    termios mode;
    ::tcgetattr(slave, &mode);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // bytes reach the master as written
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    ::tcsetattr(slave, TCSANOW, &mode);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    plumbing.input = plumbing.output = slave;
    close_after_fork.push_back(slave);
  } else {
    int ends[2] = {-1, -1};
    if (run.input == Input::kPipe && ::pipe2(ends, O_CLOEXEC) == 0) feed = ends[1];
    if (run.input == Input::kFile) ends[0] = ScratchFile(run.input_bytes);
    plumbing.input = ends[0];
    close_after_fork.push_back(ends[0]);

    ends[0] = ends[1] = -1;
    if (run.output == Output::kPipe || run.output == Output::kBrokenPipe) {
      if (::pipe2(ends, O_CLOEXEC) != 0) return result;
      close_after_fork.push_back(ends[1]);
      if (run.output == Output::kPipe) output_pipe = ends[0];
      if (run.output == Output::kBrokenPipe) ::close(ends[0]);  // the reader is gone
    }
    if (run.output == Output::kFile) ends[1] = output_file = ScratchFile("");
    plumbing.output = ends[1];
  }
  pid_t child = ::fork();
  if (child == 0) StartChild(run, plumbing, argv.data());
  for (int fd : close_after_fork) ::close(fd);
  if (child < 0) return result;

  if (feed >= 0) {
    (void)!::write(feed, run.input_bytes.data(), run.input_bytes.size());
    ::close(feed);
  }
  const Clock::time_point deadline = Clock::now() + kTimeLimit;
  std::vector<Source> sources = {{errors[0], &result.errors}};
  if (output_pipe >= 0) sources.push_back({output_pipe, &result.output});
  bool in_time = true;
  int status = 0;
  bool reaped = false;
  if (terminal) {
    sources.push_back({master, &result.output});
    auto prompted = [&] { return result.output.ends_with(kTerminalPrompt); };
    in_time = Collect(sources, deadline, prompted);
    if (in_time && prompted()) {
      reaped = ::waitpid(child, &status, WNOHANG) == child;
      result.waited_for_input = !reaped;
      (void)!::write(master, run.input_bytes.data(), run.input_bytes.size());
    }
  }
  in_time = in_time && Collect(sources, deadline, [] { return false; });
  if (!in_time) ::kill(child, SIGKILL);

  if (!reaped) ::waitpid(child, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  if (output_file >= 0) result.output = ReadWhole(output_file);
  for (int fd : {errors[0], output_pipe, master, output_file}) {
    if (fd >= 0) ::close(fd);
  }
  return result;
}

}  // namespace

// Wine now and then ends a run with status 1 and no output before the tool has
// run (see tests/wine/run.sh); the tool never ends so. Such a run is made again.
ToolResult RunTool(const ToolRun& run) {
  const ToolResult result = RunOnce(run);
  if (NativeTool() || result.exit_status != 1 || !result.output.empty()) return result;
  std::fputs("note: Wine ended a run with status 1 and no output: once more\n", stderr);
  return RunOnce(run);
}

}  // namespace zub::e2e
