#!/usr/bin/env bash
# Makes the release (.ci/release.sh: both release presets, gathered in
# build/release-files) twice from the commit checked out here, in two
# scratch folders that differ in their path (and file system, where /dev/shm
# has room), HOME, umask, locale, time zone and time, and fails unless every
# file of the release, its SHA256SUMS and the debug information of zub.exe
# have the same SHA-256 in both. Where they differ, diffoscope (where
# installed) shows how. Uncommitted changes are not built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse HEAD)

first=$(mktemp -d)
second=""
if [ -d /dev/shm ] && [ -w /dev/shm ] &&
  [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -gt 1048576 ]; then
  second=$(mktemp -d /dev/shm/zub-reproducible.XXXXXX)
else
  second=$(mktemp -d)
fi
trap 'rm -rf "$first" "$second"' EXIT

# build FOLDER UMASK TZ LOCALE: a clone of the commit in FOLDER/src, the
# release made in it, the output in FOLDER/log.
build() {
  local folder=$1 mask=$2 zone=$3 locale=$4
  mkdir -p "$folder/home"
  if ! (
    umask "$mask"
    unset SOURCE_DATE_EPOCH
    export HOME=$folder/home TZ=$zone LC_ALL=$locale
    git clone --quiet --no-hardlinks "$root" "$folder/src"
    git -C "$folder/src" checkout --quiet --detach "$commit"
    cd "$folder/src"
    .ci/release.sh
  ) >"$folder/log" 2>&1; then
    echo "FAILED: the release build in $folder. Its output:"
    cat "$folder/log"
    exit 1
  fi
}

build "$first/one" 022 UTC C.UTF-8
sleep 2
build "$second/a-second-and-longer-folder" 077 Pacific/Auckland C

# compare FILE: the SHA-256 of FILE (in build/) in both builds.
status=0
compare() {
  local a=$first/one/src/build/$1 b=$second/a-second-and-longer-folder/src/build/$1
  local sum_a sum_b
  sum_a=$(sha256sum <"$a" | cut -d' ' -f1)
  sum_b=$(sha256sum <"$b" | cut -d' ' -f1)
  if [ "$sum_a" = "$sum_b" ]; then
    echo "  same: $sum_a  $1"
  else
    echo "  DIFFERENT: $sum_a and $sum_b  $1"
    if command -v diffoscope >/dev/null; then diffoscope "$a" "$b" | head -n 200 || true; fi
    status=1
  fi
}
for folder in "$first/one" "$second/a-second-and-longer-folder"; do
  (cd "$folder/src/build/release-files" && sha256sum --quiet -c SHA256SUMS)
done
while read -r _ name; do
  compare "release-files/$name"
done <"$first/one/src/build/release-files/SHA256SUMS"
compare release-files/SHA256SUMS
compare release-windows/zub.exe.debug
exit "$status"
