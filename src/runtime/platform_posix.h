// What the POSIX platform layer shows of itself beyond the common table.
#ifndef ZUB_RUNTIME_PLATFORM_POSIX_H_
#define ZUB_RUNTIME_PLATFORM_POSIX_H_

#include <cstdint>

namespace zub {

// The runtime code for a fault signal: `signal_code` is the signal's
// si_code; `stack_overflow` tells a fault on the stack's guard area.
std::uint32_t FaultCodeForSignal(int signal, int signal_code, bool stack_overflow);

}  // namespace zub

#endif  // ZUB_RUNTIME_PLATFORM_POSIX_H_
