#include "support/fake_sys.h"

#include "support/host.h"

namespace zub::testing {

namespace {

struct FakeState {
  int counts[kCallKinds] = {};
  std::vector<Call> log;
  Call fail_call = Call::kAny;
  int fail_nth = 0;  // 0: nothing planned
  PlatformCode fail_code = 0;
  bool interrupt = false;  // an interrupt instead of the failure
  int interrupt_kind = 0;
  struct Action {
    Call call;
    int nth;
    void (*run)();
  };
  std::vector<Action> actions;    // beside the failure, if any
  bool held = false;              // interrupts are held
  Call always_call = Call::kAny;  // kAny: none
  PlatformCode always_code = 0;
  bool redirect_std = false;
  Handle std_input = 0;
  Handle std_output = 1;
};

FakeState State;

// True when the call just logged is the n-th of `planned` (kAny: of all).
bool IsNth(Call call, Call planned, int nth) {
  return planned == Call::kAny ? static_cast<int>(State.log.size()) == nth
                               : call == planned && State.counts[static_cast<int>(call)] == nth;
}

// Counts the call, and runs the actions planned before it; true when it is
// the one planned to fail.
bool Fails(Call call) {
  ++State.counts[static_cast<int>(call)];
  State.log.push_back(call);
  for (const FakeState::Action& action : State.actions) {
    if (IsNth(call, action.call, action.nth)) action.run();
  }
  const bool planned = State.fail_nth != 0 && IsNth(call, State.fail_call, State.fail_nth);
  if (planned && State.interrupt) host::RaiseInterrupt(State.held, State.interrupt_kind);
  return call == State.always_call || (planned && !State.interrupt);
}

PlatformCode Code(Call call) {
  return call == State.always_call ? State.always_code : State.fail_code;
}

const PlatformCalls& Native() { return NativeCalls(); }

// The fake of a call that gives a code: fails as planned, or does the real
// thing.
template <Call kCall, auto kNative, typename... Args>
PlatformCode Faked(Args... args) {
  return Fails(kCall) ? Code(kCall) : (Native().*kNative)(args...);
}

PlatformCode StdHandle(StdStream stream, Handle* handle) {
  if (Fails(Call::kStdHandle)) return Code(Call::kStdHandle);
  if (!State.redirect_std) return Native().std_handle(stream, handle);
  *handle = stream == StdStream::kInput ? State.std_input : State.std_output;
  return 0;
}
PlatformCode Read(Handle handle, void* buffer, std::size_t size, std::size_t* got) {
  if (Fails(Call::kRead)) {
    *got = 0;
    return Code(Call::kRead);
  }
  return Native().read(handle, buffer, size, got);
}
PlatformCode Close(Handle handle) {
  // A failed close still releases the descriptor, as it does on POSIX.
  if (Fails(Call::kClose)) {
    Native().close(handle);
    return Code(Call::kClose);
  }
  return Native().close(handle);
}
void HoldInterrupts(bool hold) {
  Native().hold_interrupts(hold);
  State.held = hold;
  if (!hold) host::AfterHold();
}
void ExitProcess(std::uint32_t status) { throw ProcessExit{status}; }
void InstallFaultHandler(FaultHandler) {}
void RemoveFaultHandler() {}

}  // namespace

std::string_view CallName(Call call) {
  constexpr std::string_view kNames[] = {"open_read",
                                         "open_write",
                                         "open_update",
                                         "probe_write",
                                         "lock",
                                         "link_count",
                                         "create_unnamed",
                                         "create_temporary",
                                         "copy_metadata",
                                         "name_temporary",
                                         "replace",
                                         "sync_folder",
                                         "reserve",
                                         "write_at",
                                         "truncate",
                                         "std_handle",
                                         "read",
                                         "write",
                                         "sync",
                                         "close",
                                         "locate",
                                         "remove",
                                         "watch_interrupts",
                                         "check_place",
                                         "any"};
  static_assert(std::size(kNames) == kCallKinds + 1);
  return kNames[static_cast<int>(call)];
}

FakeSys::FakeSys() {
  using P = PlatformCalls;
  State = FakeState{};
  Sys = NativeCalls();
  Sys.open_read = Faked<Call::kOpenRead, &P::open_read, const char*, Handle*>;
  Sys.open_write = Faked<Call::kOpenWrite, &P::open_write, const char*, Handle*>;
  Sys.open_update = Faked<Call::kOpenUpdate, &P::open_update, const FilePlace&, Handle*>;
  Sys.probe_write = Faked<Call::kProbeWrite, &P::probe_write, const FilePlace&>;
  Sys.lock = Faked<Call::kLock, &P::lock, Handle, bool>;
  Sys.link_count = Faked<Call::kLinkCount, &P::link_count, Handle, std::uint32_t*>;
  Sys.locate = Faked<Call::kLocate, &P::locate, const char*, FilePlace*>;
  Sys.check_place = Faked<Call::kCheckPlace, &P::check_place, Handle, FilePlace*>;
  Sys.create_unnamed =
      Faked<Call::kCreateUnnamed, &P::create_unnamed, const FilePlace&, TemporaryFile*>;
  Sys.create_temporary =
      Faked<Call::kCreateTemporary, &P::create_temporary, const FilePlace&, TemporaryFile*>;
  Sys.copy_metadata = Faked<Call::kCopyMetadata, &P::copy_metadata, const FilePlace&, Handle>;
  Sys.name_temporary =
      Faked<Call::kNameTemporary, &P::name_temporary, const FilePlace&, TemporaryFile*>;
  Sys.replace = Faked<Call::kReplace, &P::replace, const FilePlace&, const TemporaryFile&>;
  Sys.sync_folder = Faked<Call::kSyncFolder, &P::sync_folder, const FilePlace&>;
  Sys.remove = Faked<Call::kRemove, &P::remove, const FilePlace&, const std::string&>;
  Sys.reserve = Faked<Call::kReserve, &P::reserve, Handle, std::uint64_t>;
  Sys.write_at =
      Faked<Call::kWriteAt, &P::write_at, Handle, std::uint64_t, const void*, std::size_t>;
  Sys.truncate = Faked<Call::kTruncate, &P::truncate, Handle, std::uint64_t>;
  Sys.std_handle = StdHandle;
  Sys.read = Read;
  Sys.write = Faked<Call::kWrite, &P::write, Handle, const void*, std::size_t>;
  Sys.sync = Faked<Call::kSync, &P::sync, Handle>;
  Sys.close = Close;
  Sys.watch_interrupts = Faked<Call::kWatchInterrupts, &P::watch_interrupts>;
  Sys.hold_interrupts = HoldInterrupts;
  Sys.exit_process = ExitProcess;
  Sys.install_fault_handler = InstallFaultHandler;
  Sys.remove_fault_handler = RemoveFaultHandler;
}

FakeSys::~FakeSys() { Sys = NativeCalls(); }

void FakeSys::FailNth(Call call, int n, PlatformCode code) {
  State.fail_call = call;
  State.fail_nth = n;
  State.fail_code = code;
  State.interrupt = false;
}

void FakeSys::InterruptAtNth(Call call, int n, int kind) {
  FailNth(call, n, 0);
  State.interrupt = true;
  State.interrupt_kind = kind;
}

void FakeSys::ActAtNth(Call call, int n, void (*action)()) {
  State.actions.push_back({call, n, action});
}

void FakeSys::FailAlways(Call call, PlatformCode code) {
  State.always_call = call;
  State.always_code = code;
}

void FakeSys::Reset() {
  for (int& count : State.counts) count = 0;
  State.log.clear();
  State.fail_nth = 0;
  State.interrupt = false;
  State.actions.clear();
}

int FakeSys::Count(Call call) const { return State.counts[static_cast<int>(call)]; }

const std::vector<Call>& FakeSys::Log() const { return State.log; }

void FakeSys::SetStdHandles(Handle input, Handle output) {
  State.redirect_std = true;
  State.std_input = input;
  State.std_output = output;
}

}  // namespace zub::testing
