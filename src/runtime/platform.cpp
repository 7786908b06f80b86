#include "runtime/platform.h"

#include <algorithm>
#include <iterator>

namespace zub {

PlatformCalls Sys = NativeCalls();

bool OnlyInPlace(PlatformCode code) {
  return std::ranges::find(kOnlyInPlace, code) != std::end(kOnlyInPlace);
}

}  // namespace zub
