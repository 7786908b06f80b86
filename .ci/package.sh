#!/usr/bin/env bash
# Checks what the release preset delivers beside the program: the manual
# page is clean for mandoc; the Debian package is clean for lintian,
# installs with apt-get, runs and shows its version, holds the licence,
# compressed documents and the changelog of its version, a README whose
# links lead to what it holds, shows its manual page and is removed without
# a trace; `cmake --install` puts the manual
# page where man finds it.
# Installs and removes the package on this machine, so it needs root.
#   .ci/package.sh [BUILD]   BUILD: made by `cmake --workflow --preset release`
#                            (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/release}")
export MANPAGER=cat MANWIDTH=80

fail() {
  echo "FAILED: $*"
  exit 1
}

# The manual page as the build made it from doc/zub.1: no message from
# mandoc at any level, no warning from groff.
lint=$({ mandoc -Tlint -W all "$build/zub.1" && groff -ww -z -man "$build/zub.1"; } 2>&1) ||
  lint="$lint (status $?)"
[ -z "$lint" ] || fail "the manual page $build/zub.1: $lint"
echo "passed: mandoc -Tlint, groff -ww: the manual page"

# The package: no error or warning from lintian but one. lintian takes the
# static PIE zub (ET_DYN, no DT_NEEDED) for a shared library without
# dependencies; it has none, and needs none.
debs=("$build"/zub_*.deb)
deb=${debs[0]}
lintian --fail-on error,warning --suppress-tags shared-library-lacks-prerequisites \
  --display-level '>=info' "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error,warning --suppress-tags shared-library-lacks-prerequisites \
  "$deb" >/dev/null 2>&1
echo "passed: lintian $(basename "$deb")"

# Installed, run and removed.
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root"
if dpkg-query -W zub >/dev/null 2>&1; then fail "a package zub is installed already"; fi
work=$(mktemp -d)
# A check that fails after the installation removes the package again, so
# that the next run finds the machine as it was.
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq zub >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; exit 1; }
dpkg-query -L zub | sort >"$work/files"
[ "$(command -v zub)" = /usr/bin/zub ] || fail "zub is not /usr/bin/zub"
zub </dev/null >"$work/usage.txt" || fail "zub without arguments: status $?"
grep -q 'Then ZUB is converted and log file is deleted' "$work/usage.txt" ||
  fail "zub without arguments shows no usage text"
# The version: the package's, the banner's, the changelog's, the manual
# page's.
version=$(dpkg-query -W -f '${Version}' zub)
[ "$(head -n 1 "$work/usage.txt" | tr -d '\r')" = \
  "ZUB $version - carries the zub= value from a log into a settings file" ] ||
  fail "the banner does not show version $version: $(head -n 1 "$work/usage.txt")"
doc=/usr/share/doc/zub
[ "$(zcat "$doc/changelog.gz" | head -n 1)" = "zub ($version) unstable; urgency=medium" ] ||
  fail "the changelog does not start with version $version"
# The licence: the copyright file in Debian's form, with the text of
# LICENSE (less its title and copyright line) as the Expat licence.
grep -qx 'License: Expat' "$doc/copyright" || fail "$doc/copyright names no Expat licence"
awk '/^License: Expat$/ { text = ""; next } { text = text $0 "\n" } END { printf "%s", text }' \
  "$doc/copyright" | sed 's/^ //; s/^\.$//' >"$work/licence"
tail -n +5 LICENSE | cmp -s - "$work/licence" || fail "$doc/copyright does not hold the text of LICENSE"
# Documents over 4 KB compressed, as Debian policy asks.
while read -r path; do
  if [[ $path == "$doc"/* && -f $path && $path != *.gz && $path != "$doc/copyright" ]] &&
    [ "$(stat -c %s "$path")" -gt 4096 ]; then
    fail "$path: more than 4 KB and not compressed"
  fi
done <"$work/files"
# The README's links lead to what the package holds (or to the web, or
# within the README).
dead=$(zcat "$doc/README.md.gz" | { grep -o '\]([^)]*)' || true; } | sed 's/^](//; s/)$//' |
  while read -r target; do
    [[ $target == '#'* || $target == http*://* || -e $doc/$target ]] || echo "$target"
  done)
[ -z "$dead" ] || fail "$doc/README.md.gz links to what the package does not hold: $dead"
cp /usr/share/doc/zub/examples/log.001 /usr/share/doc/zub/examples/InBetween.ini "$work/"
(cd "$work" && zub log.001 InBetween.ini </dev/null >run.txt) || fail "zub on the examples: status $?"
grep -q 'ZUB converted' "$work/run.txt" || fail "zub on the examples converts nothing"
if cmp -s "$work/InBetween.ini" /usr/share/doc/zub/examples/InBetween.ini; then
  fail "zub on the examples leaves the settings file as it was"
fi
[ "$(man -w zub)" = /usr/share/man/man1/zub.1.gz ] || fail "man -w zub: $(man -w zub 2>&1)"
man zub >"$work/man.txt" 2>&1 || fail "man zub: status $?"
grep -q '^EXIT STATUS' "$work/man.txt" || fail "man zub shows no manual page"
grep -q "zub $version" "$work/man.txt" || fail "man zub does not show version $version"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq zub >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; exit 1; }
installed=0
if dpkg-query -W zub >/dev/null 2>&1; then fail "dpkg still knows zub after its removal"; fi
while read -r path; do
  # Folders that other packages share (/usr/bin, ...) stay.
  if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == /usr/share/doc/zub* ]]; }; then
    fail "$path is left after apt-get remove zub"
  fi
done <"$work/files"
echo "passed: apt-get install, zub $version, licence, documents, man zub, apt-get remove ($(grep -c . "$work/files") paths)"

# cmake --install: the manual page where man finds it by the PATH.
cmake --install "$build" --prefix "$work/prefix" --strip >/dev/null
found=$(env -u MANPATH PATH="$work/prefix/bin:$PATH" man -w zub) || fail "man -w zub after cmake --install"
[ "$found" = "$work/prefix/share/man/man1/zub.1.gz" ] || fail "man -w zub gives $found"
env -u MANPATH PATH="$work/prefix/bin:$PATH" man zub >"$work/man.txt" 2>&1 || fail "man zub: status $?"
grep -q '^EXIT STATUS' "$work/man.txt" || fail "man zub shows no manual page after cmake --install"
echo "passed: cmake --install, man zub"
