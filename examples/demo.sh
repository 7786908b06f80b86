#!/usr/bin/env bash
# Builds ZUB if needed and runs it on a copy of the example files, then
# shows the settings file before and after. Needs CMake, Ninja and a C++20
# compiler; GoogleTest only for the tests, which the demo does not build.
# Builds zub and its documents in build/default, so that `cmake --install
# build/default` works afterwards.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
zub="$root/build/default/zub"
# step WHAT COMMAND...: says what it does, and shows the command's output
# only when it fails.
step() {
  local what=$1 log
  shift
  echo "--- $what"
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    echo "--- Failed: $what"
    exit 1
  fi
  rm -f "$log"
}
if [ ! -x "$zub" ] || [ ! -f "$root/build/default/zub.1.gz" ]; then
  cd "$root"
  step "Configuring the build in build/default" cmake --preset default
  step "Compiling zub and its manual page (less than a minute)" \
    cmake --build --preset default --target zub zub_compressed_docs
fi

work="$root/build/demo"
rm -rf "$work"
mkdir -p "$work"
cp "$root/examples/log.001" "$root/examples/InBetween.ini" "$work/"
cd "$work"

echo "--- InBetween.ini before"
tr -d '\r' < InBetween.ini
echo "--- zub log.001 InBetween.ini"
"$zub" log.001 InBetween.ini < /dev/null | tr -d '\r'
echo "--- InBetween.ini after"
tr -d '\r' < InBetween.ini
