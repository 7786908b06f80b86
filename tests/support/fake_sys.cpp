#include "support/fake_sys.h"

namespace zub::testing {

namespace {

struct FakeState {
  int counts[kCallKinds] = {};
  std::vector<Call> log;
  Call fail_call = Call::kAny;
  int fail_nth = 0;  // 0: nothing planned
  PlatformCode fail_code = 0;
  bool redirect_std = false;
  Handle std_input = 0;
  Handle std_output = 1;
};

FakeState State;

// Counts the call; true when it is the one planned to fail.
bool Fails(Call call) {
  int count = ++State.counts[static_cast<int>(call)];
  State.log.push_back(call);
  if (State.fail_nth == 0) return false;
  if (State.fail_call == Call::kAny) return static_cast<int>(State.log.size()) == State.fail_nth;
  return call == State.fail_call && count == State.fail_nth;
}

const PlatformCalls& Native() { return NativeCalls(); }

PlatformCode OpenRead(const char* name, Handle* handle) {
  return Fails(Call::kOpenRead) ? State.fail_code : Native().open_read(name, handle);
}
PlatformCode OpenWrite(const char* name, Handle* handle) {
  return Fails(Call::kOpenWrite) ? State.fail_code : Native().open_write(name, handle);
}
PlatformCode ProbeWrite(const char* name) {
  return Fails(Call::kProbeWrite) ? State.fail_code : Native().probe_write(name);
}
PlatformCode CreateTemporary(const char* model, std::string* name, Handle* handle) {
  return Fails(Call::kCreateTemporary) ? State.fail_code
                                       : Native().create_temporary(model, name, handle);
}
PlatformCode StdHandle(StdStream stream, Handle* handle) {
  if (Fails(Call::kStdHandle)) return State.fail_code;
  if (!State.redirect_std) return Native().std_handle(stream, handle);
  *handle = stream == StdStream::kInput ? State.std_input : State.std_output;
  return 0;
}
PlatformCode Read(Handle handle, void* buffer, std::size_t size, std::size_t* got) {
  if (Fails(Call::kRead)) {
    *got = 0;
    return State.fail_code;
  }
  return Native().read(handle, buffer, size, got);
}
PlatformCode Write(Handle handle, const void* data, std::size_t size) {
  return Fails(Call::kWrite) ? State.fail_code : Native().write(handle, data, size);
}
PlatformCode Sync(Handle handle) {
  return Fails(Call::kSync) ? State.fail_code : Native().sync(handle);
}
PlatformCode Close(Handle handle) {
  // A failed close still releases the descriptor, as it does on POSIX.
  if (Fails(Call::kClose)) {
    Native().close(handle);
    return State.fail_code;
  }
  return Native().close(handle);
}
PlatformCode Resolve(const char* name, std::string* resolved) {
  return Fails(Call::kResolve) ? State.fail_code : Native().resolve(name, resolved);
}
PlatformCode Replace(const char* from, const char* to) {
  return Fails(Call::kReplace) ? State.fail_code : Native().replace(from, to);
}
PlatformCode Remove(const char* name) {
  return Fails(Call::kRemove) ? State.fail_code : Native().remove(name);
}
void ExitProcess(std::uint32_t status) { throw ProcessExit{status}; }
void InstallFaultHandler(FaultHandler) {}
void RemoveFaultHandler() {}

}  // namespace

std::string_view CallName(Call call) {
  constexpr std::string_view kNames[] = {
      "open_read", "open_write", "probe_write", "create_temporary", "std_handle", "read", "write",
      "sync",      "close",      "resolve",     "replace",          "remove",     "any"};
  return kNames[static_cast<int>(call)];
}

FakeSys::FakeSys() {
  State = FakeState{};
  Sys = NativeCalls();
  Sys.open_read = OpenRead;
  Sys.open_write = OpenWrite;
  Sys.probe_write = ProbeWrite;
  Sys.create_temporary = CreateTemporary;
  Sys.std_handle = StdHandle;
  Sys.read = Read;
  Sys.write = Write;
  Sys.sync = Sync;
  Sys.close = Close;
  Sys.resolve = Resolve;
  Sys.replace = Replace;
  Sys.remove = Remove;
  Sys.exit_process = ExitProcess;
  Sys.install_fault_handler = InstallFaultHandler;
  Sys.remove_fault_handler = RemoveFaultHandler;
}

FakeSys::~FakeSys() { Sys = NativeCalls(); }

void FakeSys::FailNth(Call call, int n, PlatformCode code) {
  State.fail_call = call;
  State.fail_nth = n;
  State.fail_code = code;
}

void FakeSys::Reset() {
  for (int& count : State.counts) count = 0;
  State.log.clear();
  State.fail_nth = 0;
}

int FakeSys::Count(Call call) const { return State.counts[static_cast<int>(call)]; }

const std::vector<Call>& FakeSys::Log() const { return State.log; }

void FakeSys::SetStdHandles(Handle input, Handle output) {
  State.redirect_std = true;
  State.std_input = input;
  State.std_output = output;
}

}  // namespace zub::testing
