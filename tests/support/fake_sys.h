// A platform table for tests: the process exit becomes an exception that a
// test can catch, the standard handles can be pointed anywhere, and any
// call can be made to fail on its N-th use with a chosen code, or to be
// preceded by an interrupt.
#ifndef ZUB_TESTS_SUPPORT_FAKE_SYS_H_
#define ZUB_TESTS_SUPPORT_FAKE_SYS_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/platform.h"
#include "support/process_exit.h"

namespace zub::testing {

// The calls of platform_calls.h, as a test names them (Call::kOpenRead).
enum class Call {
#define ZUB_CALL(name, Name, parameters, codes) k##Name,
  ZUB_PLATFORM_CALLS(ZUB_CALL)
#undef ZUB_CALL
      kAny,  // with FailNth: the N-th call of any kind
};
inline constexpr int kCallKinds = static_cast<int>(Call::kAny);

std::string_view CallName(Call call);
// The codes the call may give on this system.
std::span<const PlatformCode> CodesOf(Call call);

// Installs the fake table for its lifetime; the native one comes back after.
class FakeSys {
 public:
  FakeSys();
  ~FakeSys();
  FakeSys(const FakeSys&) = delete;
  FakeSys& operator=(const FakeSys&) = delete;

  // The n-th call of `call`, counted from 1 since the last Reset, fails
  // with `code` and does nothing else.
  void FailNth(Call call, int n, PlatformCode code);
  // Just before that call is made, the process is interrupted as a user
  // interrupts it, with the `kind`-th interrupt (host::RaiseInterrupt).
  void InterruptAtNth(Call call, int n, int kind = 0);
  // Just before that call is made, `action` runs; then the call is made (or
  // fails as planned). Any number of actions may be planned.
  void ActAtNth(Call call, int n, void (*action)());
  // Every call of `call` fails with `code`, as where the system lacks it.
  void FailAlways(Call call, PlatformCode code);
  // Forgets counts and planned failures.
  void Reset();
  int Count(Call call) const;
  // The calls made since the last Reset, in order.
  const std::vector<Call>& Log() const;

  // The disk file `name` is taken for a pipe: its type says so once it is
  // open for reading, and it is opened to be written back as open_update
  // opens it, so that the runtime takes the way of a stream.
  void TakeForStream(const std::string& name);

  // Standard input and output are these descriptors from now on.
  void SetStdHandles(Handle input, Handle output);
};

}  // namespace zub::testing

#endif  // ZUB_TESTS_SUPPORT_FAKE_SYS_H_
