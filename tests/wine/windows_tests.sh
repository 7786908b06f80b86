#!/usr/bin/env bash
# The Windows tests: builds zub.exe with MinGW-w64, runs the end-to-end
# tests against it under Wine, then the checks only Wine can make.
#
#   tests/wine/windows_tests.sh E2E_TESTS_BINARY
#
# Without the cross compiler or Wine it says so and is skipped (status 77);
# with ZUB_REQUIRE_WINDOWS=1, as in CI, that is a failure instead. The Wine
# prefix is $WINEPREFIX (see wine_prefix.sh); a new one is made on first use.
# Each step says when it starts, and a step that runs on says so every 20
# seconds, so that a long step is not taken for a hang.
set -eEuo pipefail
trap 'echo "windows_tests.sh, line $LINENO: \"$BASH_COMMAND\" failed with status $?" >&2' ERR
root=$(cd "$(dirname "$0")/../.." && pwd)
e2e=$1

# step WHAT: says that WHAT starts, and every 20 seconds that it still runs,
# until the next step or the end.
heartbeat=""
step() {
  end_steps
  echo "== Windows tests, at ${SECONDS} s: $1"
  (
    trap - ERR
    while sleep 20 && kill -0 $$ 2>/dev/null; do echo "== Windows tests, at ${SECONDS} s: still $1"; done
  ) &
  heartbeat=$!
}
end_steps() {
  [ -z "$heartbeat" ] || kill "$heartbeat" 2>/dev/null || true
  heartbeat=""
}

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || missing+=(wine)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Windows tests skipped: ${missing[*]} not installed (apt-get install ${missing[*]})"
  [ "${ZUB_REQUIRE_WINDOWS:-0}" = 1 ] && exit 1
  exit 77
fi

cd "$root"
trap end_steps EXIT
step "building zub.exe (preset windows)"
cmake --preset windows >/dev/null
cmake --build --preset windows

# shellcheck source=tests/wine/wine_prefix.sh
. "$root/tests/wine/wine_prefix.sh"
trap 'end_steps; stop_wine' EXIT
step "starting Wine"
start_wine

step "the end-to-end tests against zub.exe under Wine"
ZUB_E2E_COMMAND="wine $root/build/windows/zub.exe" "$e2e" || {
  echo "The end-to-end tests against zub.exe under Wine failed (status $?)"
  exit 1
}
step "the checks of tests/wine/run.sh"
"$root/tests/wine/run.sh" "$root/build/windows"

# The unit tests, fault sweep included, built for Windows with GoogleTest
# from Debian's sources and run under Wine against the Win32 platform layer.
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "Windows unit tests skipped: googletest not installed (apt-get install googletest)"
  [ "${ZUB_REQUIRE_WINDOWS:-0}" = 1 ] && exit 1
  exit 77
fi
step "building the unit tests for Windows (preset windows-tests)"
cmake --preset windows-tests >/dev/null
cmake --build --preset windows-tests
# In two halves at once: most of their time goes to starting the sweep's
# child processes under Wine, which two processes do side by side. Each
# half shows only its failures and its summary.
step "the unit tests under Wine, in two halves at once"
logs=$(mktemp -d)
pids=()
for shard in 0 1; do
  GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard \
    wine "$root/build/windows-tests/tests/unit_tests.exe" --gtest_brief=1 </dev/null \
    >"$logs/$shard" 2>&1 &
  pids+=($!)
done
status=0
for shard in 0 1; do
  wait "${pids[$shard]}" || status=1
  cat "$logs/$shard"
done
rm -rf "$logs"
end_steps
echo "== Windows tests, at ${SECONDS} s: done"
exit "$status"
