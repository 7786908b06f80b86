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
  std::string stream_name;  // empty: none
  Handle stream = -1;
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

// The fake of a call that gives a code: fails as planned, or does the real
// thing.
template <Call kCall, auto kMember, typename Function>
struct Faked;
template <Call kCall, auto kMember, typename... Args>
struct Faked<kCall, kMember, PlatformCode (*)(Args...)> {
  static PlatformCode Run(Args... args) {
    return Fails(kCall) ? Code(kCall) : (NativeCalls().*kMember)(args...);
  }
};

PlatformCode StdHandle(StdStream stream, Handle* handle) {
  if (Fails(Call::kStdHandle)) return Code(Call::kStdHandle);
  if (!State.redirect_std) return NativeCalls().std_handle(stream, handle);
  *handle = stream == StdStream::kInput ? State.std_input : State.std_output;
  return 0;
}
PlatformCode Read(Handle handle, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  return Fails(Call::kRead) ? Code(Call::kRead) : NativeCalls().read(handle, buffer, size, got);
}
PlatformCode Close(Handle handle) {
  // A failed close still releases the descriptor, as it does on POSIX.
  const bool fails = Fails(Call::kClose);
  const PlatformCode code = NativeCalls().close(handle);
  return fails ? Code(Call::kClose) : code;
}
PlatformCode OpenRead(const char* name, Handle* handle) {
  const PlatformCode code =
      Faked<Call::kOpenRead, &PlatformCalls::open_read, decltype(Sys.open_read)>::Run(name, handle);
  if (code == 0 && !State.stream_name.empty() && State.stream_name == name) State.stream = *handle;
  return code;
}
FileType TypeOf(Handle handle) {
  return handle == State.stream ? FileType::kPipe : NativeCalls().file_type(handle);
}
PlatformCode OpenStream(const FilePlace& place, Handle* handle) {
  if (Fails(Call::kOpenStream)) return Code(Call::kOpenStream);
  return (State.stream_name.empty() ? NativeCalls().open_stream : NativeCalls().open_update)(
      place, handle);
}
void HoldInterrupts(bool hold) {
  NativeCalls().hold_interrupts(hold);
  State.held = hold;
  if (!hold) host::AfterHold();
}

}  // namespace

std::string_view CallName(Call call) {
  constexpr std::string_view kNames[] = {
#define ZUB_NAME(name, Name, parameters, codes) #name,
      ZUB_PLATFORM_CALLS(ZUB_NAME)
#undef ZUB_NAME
          "any"};
  return kNames[static_cast<int>(call)];
}

std::span<const PlatformCode> CodesOf(Call call) {
  using namespace win32_code;
  // Each list after a 0 of its own, so that none is empty.
#define ZUB_CODES_OF(name, Name, parameters, codes) \
  static constexpr PlatformCode k##Name[] = {0, codes};
  ZUB_PLATFORM_CALLS(ZUB_CODES_OF)
#undef ZUB_CODES_OF
  static constexpr std::span<const PlatformCode> kLists[] = {
#define ZUB_LIST_OF(name, Name, parameters, codes) std::span(k##Name).subspan(1),
      ZUB_PLATFORM_CALLS(ZUB_LIST_OF)
#undef ZUB_LIST_OF
  };
  return kLists[static_cast<int>(call)];
}

FakeSys::FakeSys() {
  State = FakeState{};
  Sys = NativeCalls();
#define ZUB_FAKE(name, Name, parameters, codes) \
  Sys.name = Faked<Call::k##Name, &PlatformCalls::name, decltype(Sys.name)>::Run;
  ZUB_PLATFORM_CALLS(ZUB_FAKE)
#undef ZUB_FAKE
  Sys.open_read = OpenRead;
  Sys.file_type = TypeOf;
  Sys.open_stream = OpenStream;
  Sys.std_handle = StdHandle;
  Sys.read = Read;
  Sys.close = Close;
  Sys.hold_interrupts = HoldInterrupts;
  Sys.exit_process = [](std::uint32_t status) { throw ProcessExit{status}; };
  Sys.install_fault_handler = [](FaultHandler) {};
  Sys.remove_fault_handler = [] {};
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

void FakeSys::TakeForStream(const std::string& name) { State.stream_name = name; }

void FakeSys::SetStdHandles(Handle input, Handle output) {
  State.redirect_std = true;
  State.std_input = input;
  State.std_output = output;
}

}  // namespace zub::testing
