#include "runtime/platform.h"

namespace zub {

PlatformCalls Sys = NativeCalls();

bool OnlyInPlace(PlatformCode code) {
  for (PlatformCode in_place : kOnlyInPlace) {
    if (code == in_place) return true;
  }
  return false;
}

}  // namespace zub
