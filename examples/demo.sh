#!/usr/bin/env bash
# Builds ZUB if needed and runs it on a copy of the example files, then
# shows the settings file before and after.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
zub="$root/build/default/zub"
if [ ! -x "$zub" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target zub >/dev/null
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
