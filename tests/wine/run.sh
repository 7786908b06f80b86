#!/usr/bin/env bash
# The Windows build under Wine, where the end-to-end tests cannot reach:
# processor faults and their report, the full exit code, the command line as
# Wine builds it, names outside the ANSI code page, refusals by share mode and
# by the read-only attribute, long names, links, devices, the safe rewrite's
# ends and a settings file swapped between its read and its write, and
# what zub.exe and its package carry. Builds tests/wine/probe.cpp against the
# build's runtime, and zub_ansi.exe: zub.exe without its resources, as a
# system that ignores the manifest runs it.
#
#   tests/wine/run.sh [BUILD_DIR]     (default: build/windows)
#
# Exit status 0 when every check holds, 1 when one fails, 77 without Wine.

# Backslashes in front of closing single quotes are meant (Windows paths).
# shellcheck disable=SC1003
set -eEuo pipefail
trap 'echo "run.sh, line $LINENO: \"$BASH_COMMAND\" failed with status $?" >&2' ERR
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/windows}" && pwd)
wine=$(command -v wine64 || command -v wine) || { echo "wine not found: skipped"; exit 77; }
# shellcheck source=tests/wine/wine_prefix.sh
. "$root/tests/wine/wine_prefix.sh"
work=$(mktemp -d)
trap 'rm -f "$WINEPREFIX/dosdevices/x:"; chmod -R u+w "$work"; rm -rf "$work"; stop_wine' EXIT
start_wine
# Drive X: is the work folder (for a settings file at the root of a drive).
ln -sfn "$work" "$WINEPREFIX/dosdevices/x:"

compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake)
zub=$build/zub.exe
probe=$build/zub_probe.exe
ansi=$build/zub_ansi.exe
cross() { "$compiler" -std=c++20 -O2 -I"$root/src" "$@" "$build/libzub_runtime.a" -lbcrypt -static; }
cross -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -o "$probe" \
  "$root/tests/wine/probe.cpp"
cross -o "$ansi" "$root/src/tool/main.cpp" "$build/libzub_tool.a"

cd "$work"

failures=0
check() {  # what, expected, seen
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1: expected [$2], saw [$3]"
    failures=$((failures + 1))
  fi
}
# Runs a Windows program: its output, carriage returns dropped, in $out; its
# exit status in $status. Now and then, on a busy machine, Wine has ended a
# run with status 1 before the program wrote anything (twice in many CI runs,
# never when tried again hundreds of times); such a run is made once more,
# and said.
run() {
  status=0
  "$wine" "$@" </dev/null >"$work/output" || status=$?
  if [ "$status" = 1 ] && [ ! -s "$work/output" ]; then
    echo "note: $* ended with status 1 and no output under Wine: once more"
    status=0
    "$wine" "$@" </dev/null >"$work/output" || status=$?
  fi
  out=$(tr -d '\r' <"$work/output")
}
report() { printf 'Runtime error %3d' "$1"; }
reported() { tail -n 1 <<<"$1" | cut -c 1-17; }  # the start of the report that output $1 ends with
fresh() { cp "$root/examples/log.001" log.001 && cp "$root/examples/InBetween.ini" "$1"; }
value() { grep -o 'zub=[0-9]*' "$1"; }
values() { for file; do [ "$file" = - ] || value "$file"; done | tr '\n' ' '; }
masked() { sed 's/zub=[0-9]*/zub=N/' "$1"; }
leftovers() { find . -name '.zub-*'; }  # temporary files left in the work folder

# Faults: the code of the table, the report, and for a real fault the place
# inside the faulting function. (Wine reports the overflowing division of
# the lowest integer by -1 as a division by zero; Windows gives 215.)
while read -r kind code; do
  run "$probe" fault "$kind"
  check "fault $kind: exit status" "$code" "$status"
  check "fault $kind: report" "$(report "$code")" "$(reported "$out")"
  if [[ $out == function* ]]; then
    start=$((16#$(head -n 1 <<<"$out" | cut -c 10-))) at=$((16#${out: -8}))
    check "fault $kind: offset within the function" yes "$( ((at >= start && at < start + 64)) && echo yes)"
  fi
done <<'EOF'
access 216
divide 200
privileged 218
stack 202
C000008E 200
C000008C 201
C00000FD 202
C0000091 205
C0000093 206
C000008D 206
C000008F 207
C0000090 207
C0000092 207
C0000095 215
C0000005 216
C000013A 217
C0000096 218
C0000006 255
80000003 255
EOF

run "$probe" fault-writing protected.txt
check "fault while writing: status" 216 "$status"
check "fault while writing: the file is closed first" "written before the fault" \
  "$(tr -d '\r' <protected.txt)"

run "$probe" exit-code "Z:${probe//\//\\}" abort 1224
check "full exit code" "exit code 1224" "$(tail -n 1 <<<"$out")"
run "$probe" abort 1224
check "exit status as Wine hands it on (low eight bits)" 200 "$status"

# The command line as Wine builds it from separate arguments. There is no
# escape character: Wine's backslash before a quote stays, the quote opens
# a quoted stretch.
split() { run "$probe" args "$@" && grep -a '^\[' <<<"$out" | tr '\n' ' '; }
run "$probe" args
check "program path" "program Z:${probe//\//\\}" "$(sed -n 2p <<<"$out")"
check "split: blanks" "[a b] [c] " "$(split 'a b' c)"
check "split: trailing backslash" '[C:\dir\] [x] ' "$(split 'C:\dir\' x)"
check "split: quoted trailing backslash doubled by Wine" '[C:\my dir\\] ' "$(split 'C:\my dir\')"
check "split: empty arguments dropped" "[x] [y] " "$(split '' x '' y)"
check "split: a quote inside" '[q\uote] ' "$(split 'q"uote')"
check "split: ANSI code page" $'[\xe9] ' "$(split 'é')"

# Runs the probe with the arguments after the first two, its input a pipe
# held open until it has said the first (a word) and the second (a command)
# has run: its process ID in $probe_pid meanwhile, then its exit status in
# $probe_status and its output, carriage returns dropped, in $probe_out.
gated() {  # word, command, probe arguments
  rm -f gate held && mkfifo gate
  "$wine" "$probe" "${@:3}" <gate >held &
  probe_pid=$!
  exec 7>gate
  for _ in $(seq 100); do grep -q "$1" held && break; sleep 0.1; done
  "$2" || true  # a step that fails shows in the checks that follow
  exec 7>&-
  probe_status=0
  wait "$probe_pid" || probe_status=$?
  probe_out=$(tr -d '\r' <held)
}

# Held by another process: a log held open for writing, a settings file
# held open for reading without sharing it for writing.
run_zub() { run "$zub" log.001 s.ini; }
fresh s.ini
gated holding run_zub hold log.001
check "log held for writing" "$(report 32)" "$(reported "$out")"
gated holding run_zub hold-read s.ini
check "settings held for reading: status" 32 "$status"
check "settings held for reading: unchanged" "zub=1500" "$(value s.ini)"
# Shared for writing but not for renaming: no replacement, the rewrite in
# place.
inode=$(stat -c %i s.ini)
gated holding run_zub hold-shared s.ini
check "settings held, shared for writing: converted in place" "0 zub=1734 $inode" \
  "$status $(value s.ini) $(stat -c %i s.ini)"
# Held for a moment, as a virus scanner or a sync client holds a file just
# written, by the probe while it runs zub.exe: the hold is waited out, and
# the settings file replaced. A hold of several seconds is refused, once
# zub.exe has waited about one second, and changes nothing; one shared for
# writing sends the rewrite in place. Columns: milliseconds, the hold, the
# file held; then zub.exe's exit code, when it ended, the value and the file.
while read -r ms how held expected; do
  fresh s.ini && inode=$(stat -c %i s.ini)
  run "$probe" hold-during "$ms" "$how" "$held" "$zub" log.001 s.ini
  replaced=$( (($(stat -c %i s.ini) != inode)) && echo replaced || echo "in place")
  check "$how $held for $ms ms" "$expected" "$(tail -n 1 <<<"$out") $(value s.ini) $replaced"
done <<'EOF'
300 hold log.001 exit code 0 after the hold zub=1734 replaced
300 hold-read s.ini exit code 0 after the hold zub=1734 replaced
300 hold-shared s.ini exit code 0 after the hold zub=1734 replaced
3000 hold log.001 exit code 32 during the hold zub=1500 in place
3000 hold-read s.ini exit code 32 during the hold zub=1500 in place
3000 hold-shared s.ini exit code 0 during the hold zub=1734 in place
EOF

# A scanner that opens every new .zub- file when it first sees it and holds
# it, not shared for deletion, catches the old file under its backup name in
# most runs (made until it has): the run is a conversion all the same, and
# the old content stays beside the file.
for _ in {1..8}; do
  fresh s.ini && run "$probe" scan-during . "$zub" log.001 s.ini
  [[ $out == *"held 0" ]] || break
done
check "scanner: converted, the old content left" "exit code 0, held 1 converted zub=1734 zub=1500" \
  "$(tail -n 1 <<<"$out") $(grep -o converted <<<"$out") $(value s.ini) $(cat .zub-* | value -)"
rm -f .zub-*

# Eight runs at once on one settings file, each with a value of its own, in
# three rounds: they take turns, and none finds the file missing while
# another replaces it. Each converts (or ends with 32 after its 5 seconds);
# the file ends whole, with one of the values, and nothing beside it.
for k in {1..8}; do printf 'zub=%d\r\n' $((k * 1111)) >"log.$k"; done
for round in 1 2 3; do
  fresh s.ini && pids=() statuses=
  for k in {1..8}; do "$wine" "$zub" "log.$k" s.ini </dev/null >/dev/null & pids+=($!); done
  for pid in "${pids[@]}"; do wait "$pid" && statuses+="0 " || statuses+="$? "; done
  check "eight runs at once, round $round ($statuses): each 0 or 32; whole, one value, nothing left" \
    "yes same yes " "$([[ $statuses =~ ^((0|32) )+$ ]] && echo yes) $(masked s.ini | cmp -s - \
      <(masked "$root/examples/InBetween.ini") && echo same) $([[ $(value s.ini) =~ \
      ^zub=(1500|1111|2222|3333|4444|5555|6666|7777|8888)$ ]] && echo yes) $(leftovers)"
done
rm -f log.[1-8]

fresh ro.ini && chmod 444 ro.ini
run "$zub" log.001 ro.ini
check "read-only settings: status" 5 "$status"
check "read-only settings: unchanged" "zub=1500" "$(value ro.ini)"

# A device as the settings file has no folder to hold: it is read, and
# would be written, as a stream. NUL holds no tag.
run "$zub" log.001 NUL
check "NUL as the settings file" "0 Bad file InBetween.ini, zub= not found" \
  "$status $(tail -n 2 <<<"$out" | head -n 1)"

# A pipe as the settings file, swapped for a link before its writer ends
# it: the lines are never written to the file the link leads to (1006, 238
# as Wine hands it on), and no file is made for them (2). The lines are in
# the pipe before the run opens it (Wine reads a pipe without waiting).
while read -r target code; do
  rm -f s.fifo s.moved && printf 'secret zub=1500\r\n' >secret.ini && mkfifo s.fifo
  exec 8<>s.fifo
  printf 'a\r\nzub=7 x\r\n' >&8
  (sleep 2 && mv s.fifo s.moved && ln -s "$target" s.fifo) &
  exec 8>&-
  run "$zub" log.001 s.fifo
  wait
  check "pipe swapped for a link to $target" "$code zub=1500 " \
    "$status $(value secret.ini) $(ls gone.ini 2>/dev/null || true)"
done <<'EOF'
secret.ini 238
gone.ini 2
EOF
rm -f s.fifo s.moved secret.ini

# Names of 259 bytes are used whole (the temporary file's is longer), one
# more is refused.
long=$(printf 'a%.0s' {1..120})/$(printf 'b%.0s' {1..120})/$(printf 'c%.0s' {1..13}).ini
mkdir -p "$(dirname "$long")" && fresh "$long"
run "$zub" log.001 "$long"
check "name of 259 bytes: status" 0 "$status"
check "name of 259 bytes: converted" "zub=1734" "$(value "$long")"
run "$zub" log.001 "${long}x"
check "name of 260 bytes" 206 "$status"

mkdir -p real && fresh real/target.ini && ln -s real/target.ini link.ini
run "$zub" log.001 link.ini
check "link: status" 0 "$status"
check "link: still a link" real/target.ini "$(readlink link.ini)"
check "link: target converted" "zub=1734" "$(value real/target.ini)"

mkdir -p "my dir/sub dir" && fresh "my dir/sub dir/In Between.ini"
run "$zub" log.001 'my dir\sub dir\In Between.ini'
check "blanks and backslashes: converted" "zub=1734" "$(value "my dir/sub dir/In Between.ini")"

# Names outside the ANSI code page (1252 here). zub.exe runs in UTF-8 and
# converts the file each names, never the look-alike beside it that best fit
# would make of the name; zub_ansi.exe refuses them with 1113 (89 as Wine
# hands it on) and changes nothing, and converts a name within the code page.
# Columns: the folder to run in; the file named ('-': none, as the one
# argument that best fit would split in two); the look-alike; the status of
# zub_ansi.exe; the arguments.
while IFS='|' read -r folder file decoy ansi_status arguments; do
  IFS='|' read -r -a argv <<<"$arguments"
  for program in "$zub" "$ansi"; do
    for name in "$file" "$decoy"; do [ "$name" = - ] || { mkdir -p "$(dirname "$name")"; fresh "$name"; }; done
    (cd "$folder" && "$wine" "$program" "${argv[@]}" </dev/null >/dev/null) && status=0 || status=$?
    expected=0 converted=1734
    [ "$program" = "$ansi" ] && [ "$ansi_status" != 0 ] &&
      expected=$((ansi_status & 255)) converted=1500
    expected+=" $([ "$file" = - ] || echo "zub=$converted ")$([ "$decoy" = - ] || echo "zub=1500 ")"
    check "${program##*/} ${argv[*]}" "$expected" "$status $(values "$file" "$decoy")"
  done
done <<'EOF'
.|Łódź/s.ini|Lódz/s.ini|1113|log.001|Łódź\s.ini
Łódź|Łódź/s.ini|Lódz/s.ini|1113|..\log.001|s.ini
.|＂q＂/s.ini|q/s.ini|1113|log.001|＂q＂\s.ini
.|-|s.ini|1113|log.001＂ ＂s.ini
.|Настройки/s.ini|-|1113|log.001|Настройки\s.ini
.|設定/設定.ini|-|1113|log.001|設定\設定.ini
.|Einstellungen ü é ß/Größe-café.ini|-|0|log.001|Einstellungen ü é ß\Größe-café.ini
sub|s.ini|sub/s.ini|0|X:\log.001|X:\s.ini
EOF
run "$ansi" log.001 'Łódź\s.ini'
check "refused name: status, the report" "89 Runtime error1113" "$status $(reported "$out")"

# A settings file of two names is rewritten in place and stays one file; one
# of a single name is replaced, and keeps its mode (one that Wine gives new
# files: its mapping of an ACL back to a mode gives the group the owner's
# rights, so another mode does not survive a copied ACL).
fresh linked.ini && ln linked.ini second.ini
run "$zub" log.001 linked.ini
check "second hard link: status" 0 "$status"
check "second hard link: both names converted" "zub=1734 zub=1734" "$(value linked.ini) $(value second.ini)"
check "second hard link: still two names" 2 "$(stat -c %h linked.ini)"
fresh single.ini && chmod 644 single.ini && inode=$(stat -c %i single.ini)
run "$zub" log.001 single.ini
check "single name: replaced" "zub=1734 new" "$(value single.ini) $( (($(stat -c %i single.ini) != inode)) && echo new)"
check "single name: mode kept" 644 "$(stat -c %a single.ini)"

# A run that ends once its temporary file exists, by a failure, a fault or a
# kill, leaves the settings file as it was and no temporary file.
while read -r step code; do
  fresh "$step.ini"
  run "$probe" rewrite "$step" "$step.ini"
  check "$step: status" "$code" "$status"
  check "$step: unchanged" "zub=1500 0" "$(value "$step.ini") $(grep -c rewritten "$step.ini")"
  check "$step: no temporary file" "" "$(leftovers)"
done <<'EOF'
fail-write 29
fail-replace 29
fail-replace-named 29
stuck 153
fault 216
kill 9
EOF

# Ctrl+C (Wine turns SIGINT into the console event) while the probe waits:
# the run ends as one without the handler ends, and leaves no temporary
# file. Held in the in-place write, it takes effect once the file is whole.
ctrl_c() { kill -INT "$probe_pid" && sleep 1; }
gated waiting ctrl_c wait
plain=$probe_status
fresh named.ini
gated waiting ctrl_c rewrite wait-named named.ini
check "Ctrl+C before the replacement: status as without the handler" "$plain" "$probe_status"
check "Ctrl+C before the replacement: unchanged, nothing left" "zub=1500 0 " \
  "$(value named.ini) $(grep -c rewritten named.ini) $(leftovers)"
fresh held.ini && ln held.ini held2.ini
gated waiting ctrl_c rewrite wait-held held.ini
check "Ctrl+C in the in-place write: status as without the handler" "$plain" "$probe_status"
check "Ctrl+C in the in-place write: whole, under both names" "1 1" \
  "$(grep -c rewritten held.ini) $(grep -c rewritten held2.ini)"
check "Ctrl+C in the in-place write: ended there" "waiting" "$probe_out"

# A settings file swapped between the read and the write, while the probe
# waits before one step of the rewrite: for another file, for a symbolic
# link or a hard link to another file, or its folder for a junction (a
# symbolic link under Wine) to another folder. The rewrite ends with 1006
# (238 as Wine hands it on), and neither the file that was read, nor what
# the name leads to now, nor the other file changes. Meanwhile the folder
# it holds cannot be renamed (32). Columns: the step; the swap; the names
# the settings file has (two send the rewrite in place).
swap_in() {  # what $swap says; $read names the file that was read
  read=sw/s.read
  case $swap in
    file) mv sw/s.ini "$read" && cp other/s.ini sw/s.ini ;;
    link) mv sw/s.ini "$read" && ln -s ../other/s.ini sw/s.ini ;;
    hard-link) mv sw/s.ini "$read" && ln other/s.ini sw/s.ini ;;
    folder) mv sw sw.read && ln -s other sw && read=sw.read/s.ini ;;
  esac
}
while read -r step swap names; do
  rm -rf sw sw.read other && mkdir sw other && fresh sw/s.ini && fresh other/s.ini
  [ "$names" = 1 ] || ln sw/s.ini sw/second.ini
  gated waiting swap_in rewrite "before-$step" 'sw\s.ini'
  check "$swap swapped before $step: status, folder held" "238 folder rename 32" \
    "$probe_status $(head -n 1 <<<"$probe_out")"
  check "$swap swapped before $step: report" "Runtime error1006" "$(reported "$probe_out")"
  check "$swap swapped before $step: all unchanged, nothing left" "zub=1500 zub=1500 zub=1500 0 " \
    "$(values "$read" sw/s.ini other/s.ini)$(cat "$read" sw/s.ini other/s.ini | grep -c rewritten) $(leftovers)"
done <<'EOF'
probe_write folder 1
create_unnamed link 1
replace file 1
move link 1
open_update hard-link 2
EOF
rm -rf sw sw.read other

check "no temporary file left" "" "$(leftovers)"

# What zub.exe carries: its manifest and its version, no debug information
# (zub.exe.debug holds it); the package holds the same zub.exe, the texts
# with CR LF line ends, the guide with the version, and the licence.
objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
resources=$("${objdump%objdump}windres" -i "$zub" -O rc | tr -d '"')
check "manifest" "level=asInvoker UTF-8</activeCodePage" \
  "$(grep -o 'level=[A-Za-z]*\|UTF-8</activeCodePage' <<<"$resources" | paste -sd ' ')"
fields='FILEVERSION.*\|\(CompanyName\|FileVersion\|LegalCopyright\|OriginalFilename\|ProductName\|ProductVersion\), .*'
want="FILEVERSION ${version//./, }, 0|CompanyName, ZUB maintainers|FileVersion, $version"
want+="|LegalCopyright, Copyright (c) 2026 ZUB maintainers. MIT licence.|OriginalFilename, zub.exe"
check "version" "$want|ProductName, ZUB|ProductVersion, $version" "$(grep -o "$fields" <<<"$resources" | paste -sd '|')"
check "no debug information" "" "$("$objdump" -h "$zub" | grep -o '\.debug_[a-z]*' | head -n 1)"
cpack --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
(cd package && cmake -E tar xf ./*.zip)
unpacked=$(echo package/zub-*-win64)
check "package: layout" \
  "CHANGELOG.txt LICENSE.txt README.txt examples/InBetween.ini examples/log.001 run-zub.bat zub.exe" \
  "$(cd "$unpacked" && find . -type f | sed 's|^\./||' | sort | paste -sd ' ')"
check "package: zub.exe as built" same "$(cmp -s "$unpacked/zub.exe" "$zub" && echo same)"
for text in CHANGELOG.txt LICENSE.txt README.txt run-zub.bat; do
  check "package: $text, lines end in CR LF" "$(wc -l <"$unpacked/$text")" \
    "$(grep -c $'\r$' "$unpacked/$text")"
done
check "package: README.txt and CHANGELOG.txt in plain ASCII" "" \
  "$(cd "$unpacked" && { LC_ALL=C grep -l $'[^\t\r -~]' README.txt CHANGELOG.txt || true; })"
check "package: the guide's version" "ZUB $version for Windows" "$(head -n 1 "$unpacked/README.txt" | tr -d '\r')"
check "package: the licence" same "$(tr -d '\r' <"$unpacked/LICENSE.txt" | cmp -s - "$root/LICENSE" && echo same)"

# run-zub.bat from the package under Wine's cmd, once per outcome: its
# status and the settings file afterwards, from a folder whose path has a
# blank and a "!" (which delayed expansion would eat), and what it shows:
# ZUB's lines from the banner on, without the prompt. The zub.exe of the
# last row says nothing and exits with 0, which is no success. Standard
# input is a pipe that stays open: zub.exe must not wait on it (an ENTER
# that never comes would end the run by the timeout). Every run removes its
# folder in %TEMP%.
cp -r "$unpacked" 'zub dir!'
cp -r "$unpacked" mute && rm mute/zub.exe
echo 'int main() { return 0; }' | "$compiler" -x c++ - -static -o mute/zub.exe
printf 'no value\r\n' >novalue.log
printf 'no tag\r\n' >notag.ini
temporary() { find "$WINEPREFIX/drive_c/users" -path '*/Temp/zub-*' -prune | wc -l; }
before=$(temporary)
rm -f open-input && mkfifo open-input
exec 9<>open-input
banner="ZUB $version - carries the zub= value from a log into a settings file"
while IFS='|' read -r folder expected converted arguments; do
  read -r -a argv <<<"$arguments"
  fresh s.ini
  status=0
  timeout 60 "$wine" cmd /c "$folder\\run-zub.bat" "${argv[@]}" <open-input >bat.txt 2>&1 || status=$?
  check "run-zub.bat ${argv[*]}: status, settings" "$expected $converted" "$status $(value s.ini)"
  shown=$(tr -d '\r' <bat.txt)
  [ "$folder" = mute ] || check "run-zub.bat ${argv[*]}: ZUB's lines without the prompt" \
    "$banner 0" "$(head -n 1 <<<"$shown") $(grep -c '^Press ENTER' <<<"$shown" || true)"
done <<'EOF'
zub dir!|0|zub=1734|log.001 s.ini
zub dir!|91|zub=1500|novalue.log s.ini
zub dir!|92|zub=1500|log.001 notag.ini
zub dir!|93|zub=1500|log.001 s.ini extra
zub dir!|2|zub=1500|missing.log s.ini
mute|94|zub=1500|log.001 s.ini
EOF
exec 9>&-
check "run-zub.bat: no folder left in %TEMP%" "$before" "$(temporary)"

echo "$failures check(s) failed"
[ "$failures" -eq 0 ] || exit 1
