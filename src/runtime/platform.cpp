#include "runtime/platform.h"

namespace zub {

PlatformCalls Sys = NativeCalls();

}  // namespace zub
