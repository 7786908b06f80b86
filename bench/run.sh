#!/usr/bin/env bash
# Measures ZUB against the floor its 128-byte reads set and against the
# grep and sed pipeline a user would write instead, prints the table, and
# checks the performance targets: exit status 1 when one is missed.
#
#   bench/run.sh [--quick]
#
# --quick: fewer rounds and large logs (one with CR LF, one with LF line
# ends) of 50 MiB instead of 200 MiB, for a check in about half a minute;
# the full run takes a few minutes. Results: bench/README.md.
#
# Needs bash, cmake, ninja, a C++20 compiler, cc, valgrind, awk, grep, sed,
# tail and sort (Debian: apt-get install build-essential cmake ninja-build
# valgrind). ZUB=/path/to/zub measures that binary instead of building one
# in build/bench.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *)
    echo "usage: $0 [--quick]" >&2
    exit 2
    ;;
esac

missing=()
for tool in cmake ninja cc valgrind awk grep sed tail sort; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]} > 0)); then
  echo "$0 needs: ${missing[*]}" >&2
  exit 2
fi

if ((quick)); then
  typical_rounds=51 large_rounds=3 large_mib=50
else
  typical_rounds=501 large_rounds=15 large_mib=200
fi

# ZUB as it ships: the default build type, linked as CMakeLists.txt says.
if [[ -z "${ZUB:-}" ]]; then
  echo "building zub in build/bench ..." >&2
  cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZUB_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build/bench" --target zub -j2 >/dev/null
  ZUB="$root/build/bench/zub"
fi
ZUB="$(cd "$(dirname "$ZUB")" && pwd)/$(basename "$ZUB")"

work="$(mktemp -d)"
# The settings file once more on a memory file system, where the flush to
# disk costs nothing: shows what the safe rewrite costs on the disk.
memory=""
if [[ -d /dev/shm && -w /dev/shm ]]; then memory="$(mktemp -d /dev/shm/zub-bench.XXXXXX)"; fi
trap 'rm -rf "$work" ${memory:+"$memory"}' EXIT
cd "$work"
cc -O2 -o measure "$root/bench/measure.c"
# The floor built as a C program usually is; also linked statically, for
# comparison, where the C library allows it.
cc -O2 -o floor "$root/bench/floor.c"
static_floor=(-- floor-static ./floor-static typical.log)
cc -O2 -static -o floor-static "$root/bench/floor.c" 2>/dev/null || static_floor=()

echo "writing the inputs in $work ..." >&2
make_log() { awk -v bytes="$1" -v last="$2" -v eol="${3:-}" -f "$root/bench/make_log.awk"; }
repeat() { local k; for ((k = 0; k < $2; k++)); do cat "$1"; done; } # file, times
make_log 102400 1111 >typical.log
make_log 1048576 2222 >one.log
# The large logs: copies of a 1 MiB block of lines, and a last tagged line;
# the same once more with lines ended by a line feed alone.
make_log 1048576 0 >block.log
make_log 1048576 0 '\n' >block-lf.log
{ repeat block.log "$large_mib" && printf '[23:59:59] rating update zub=3333\r\n'; } >large.log
{ repeat block-lf.log "$large_mib" && printf '[23:59:59] rating update zub=3333\n'; } >large-lf.log
repeat block.log 10 >ten.log
repeat block-lf.log 10 >ten-lf.log
: >empty.log
# A 40-line settings file with the tag on line 20.
for ((k = 1; k <= 40; k++)); do
  if ((k == 20)); then
    printf 'EngineStrength zub=1500 \\Books\\main.bin\r\n'
  else
    printf 'Option%02d=value %d\r\n' "$k" "$k"
  fi
done >settings.ini
for name in typical large large-lf one pipe-typical pipe-large; do cp settings.ini "$name.ini"; done
in_memory=()
if [[ -n "$memory" ]]; then
  cp settings.ini "$memory/typical.ini"
  in_memory=(-- zub-memory "$ZUB" typical.log "$memory/typical.ini")
fi

# What a user would write instead: the last tag of the log, with its digits,
# in place of the first tag of the settings file and its digits.
cat >pipeline.sh <<'EOF'
value=$(grep -a -o 'zub=[0-9]*' "$1" | tail -n 1)
sed -i "0,/zub=/s/zub=[0-9]*/$value/" "$2"
EOF

# The floor reads every byte, and ZUB and the pipeline convert, or the
# figures below mean nothing.
for log in typical large large-lf; do
  [[ "$(./floor "$log.log" --count)" == "$(wc -c <"$log.log")" ]] || {
    echo "the floor did not read all of $log.log" >&2
    exit 1
  }
done

echo "measuring the typical run, $typical_rounds rounds ..." >&2
./measure "$typical_rounds" \
  floor ./floor typical.log -- \
  zub "$ZUB" typical.log typical.ini -- \
  pipeline sh pipeline.sh typical.log pipe-typical.ini -- \
  floor-noatime ./floor typical.log --noatime "${static_floor[@]}" "${in_memory[@]}" \
  >typical.runs

echo "measuring the large run, $large_rounds rounds ..." >&2
./measure "$large_rounds" \
  floor ./floor large.log -- \
  zub "$ZUB" large.log large.ini -- \
  pipeline sh pipeline.sh large.log pipe-large.ini -- \
  floor-noatime ./floor large.log --noatime -- \
  zub-1MiB "$ZUB" one.log one.ini -- \
  floor-lf ./floor large-lf.log -- \
  zub-lf "$ZUB" large-lf.log large-lf.ini >large.runs

converted() { # settings file, value
  local line
  line="$(sed -n 20p "$1")"
  [[ "$line" == $'EngineStrength zub='"$2"$' \\Books\\main.bin\r' ]] || {
    echo "$1 was not converted: $line" >&2
    exit 1
  }
}
converted typical.ini 1111
converted pipe-typical.ini 1111
converted large.ini 3333
converted large-lf.ini 3333
converted pipe-large.ini 3333
converted one.ini 2222
[[ -z "$memory" ]] || converted "$memory/typical.ini" 1111

echo "counting instructions with callgrind ..." >&2
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$ZUB" "$1" settings.ini </dev/null \
    2>&1 >/dev/null | awk '/Collected :/ { print $NF }'
}
ten_count="$(instructions ten.log)"
ten_lf_count="$(instructions ten-lf.log)"
empty_count="$(instructions empty.log)"
[[ -n "$ten_count" && -n "$ten_lf_count" && -n "$empty_count" ]] || {
  echo "callgrind gave no count" >&2
  exit 1
}

# Statistics over the rows of a runs file (round name cpu rss wall).
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v name="$2" -v c="$3" '$2 == name { print $c }' "$1"; }
peak() { column "$1" "$2" 4 | sort -n | tail -n 1; }
# The median over rounds of the ratio name1 / name2 within each round.
ratio() {
  awk -v a="$2" -v b="$3" '$2 == a { x[$1] = $3 } $2 == b { y[$1] = $3 }
    END { for (r in x) print x[r] / y[r] }' "$1" | median | awk '{ printf "%.2f", $1 }'
}
ms() { column "$1" "$2" "$3" | median | awk '{ printf "%.2f", $1 / 1000 }'; }

typical_ratio="$(ratio typical.runs zub floor)"
pipeline_ratio="$(ratio typical.runs pipeline zub)"
large_ratio="$(ratio large.runs zub floor)"
large_lf_ratio="$(ratio large.runs zub-lf floor-lf)"
large_pipeline_ratio="$(ratio large.runs pipeline zub)"
typical_noatime_ratio="$(ratio typical.runs zub floor-noatime)"
large_noatime_ratio="$(ratio large.runs zub floor-noatime)"
rss_typical="$(peak typical.runs zub)"
rss_large="$(peak large.runs zub)"
rss_one="$(peak large.runs zub-1MiB)"
rss_lf="$(peak large.runs zub-lf)"
# Instructions per byte and per line of a 10 MiB log, beyond the empty log's.
per() { awk -v a="$1" -v b="$empty_count" -v n="$2" -v f="$3" 'BEGIN { printf f, (a - b) / n }'; }
ten_bytes="$(wc -c <ten.log)"
ten_lines="$(wc -l <ten.log)"
per_byte="$(per "$ten_count" "$ten_bytes" %.2f)"
per_line="$(per "$ten_count" "$ten_lines" %.0f)"
per_byte_lf="$(per "$ten_lf_count" "$(wc -c <ten-lf.log)" %.2f)"
per_line_lf="$(per "$ten_lf_count" "$(wc -l <ten-lf.log)" %.0f)"
line_length="$(awk -v n="$ten_bytes" -v l="$ten_lines" 'BEGIN { printf "%.0f", n / l }')"

misses=0
# A row of the target table: what, measured, limit, and "at most" or "at least".
target() {
  local holds=yes
  if ! awk -v m="$2" -v l="$3" -v how="$4" 'BEGIN { exit !(how == "at most" ? m <= l : m >= l) }'; then
    holds=NO
    misses=$((misses + 1))
  fi
  row "$1" "$2" "$4 $3" "$holds"
}
row() {
  local line="|" cell
  for cell in "$@"; do line+=" $cell |"; done
  echo "$line"
}

echo
echo "ZUB $(basename "$ZUB"), $(uname -m), $(nproc) CPUs; CPU = user + system time of the whole process"
echo "(wait4), medians over rounds; ratios are medians of the ratios within each round."
echo
row "Run" "Contender" "CPU ms" "Wall ms" "Peak RSS KiB"
row "---" "---" "--:" "--:" "--:"
for name in floor zub pipeline; do
  row "typical: $(($(wc -c <typical.log) / 1024)) KiB log, 40-line settings" "$name" \
    "$(ms typical.runs $name 3)" "$(ms typical.runs $name 5)" "$(peak typical.runs $name)"
done
row "typical" "floor, opened without access times" "$(ms typical.runs floor-noatime 3)" \
  "$(ms typical.runs floor-noatime 5)" "$(peak typical.runs floor-noatime)"
if ((${#static_floor[@]} > 0)); then
  row "typical" "floor, linked statically" "$(ms typical.runs floor-static 3)" \
    "$(ms typical.runs floor-static 5)" "$(peak typical.runs floor-static)"
fi
if [[ -n "$memory" ]]; then
  row "typical" "zub, settings file in /dev/shm" "$(ms typical.runs zub-memory 3)" \
    "$(ms typical.runs zub-memory 5)" "$(peak typical.runs zub-memory)"
fi
for name in floor zub pipeline floor-noatime zub-1MiB floor-lf zub-lf; do
  label="large: $(($(wc -c <large.log) / 1048576)) MiB log, ${line_length}-byte lines"
  contender="$name"
  case "$name" in
    zub-1MiB) label="1 MiB log" contender=zub ;;
    floor-noatime) label="large" contender="floor, opened without access times" ;;
    *-lf) label="large, lines ended by LF alone" contender="${name%-lf}" ;;
  esac
  row "$label" "$contender" "$(ms large.runs $name 3)" "$(ms large.runs $name 5)" \
    "$(peak large.runs $name)"
done
echo
row "Target" "Measured" "Limit" "Holds"
row "---" "--:" "--:" "---"
target "large log: ZUB CPU / floor CPU" "$large_ratio" 1.25 "at most"
target "large log, LF line ends: ZUB CPU / floor CPU" "$large_lf_ratio" 1.25 "at most"
target "instructions per log byte (callgrind, 10 MiB log − empty log; $per_line per line)" \
  "$per_byte" 3 "at most"
target "instructions per log byte, LF line ends ($per_line_lf per line)" "$per_byte_lf" 3 "at most"
target "peak RSS, typical run (KiB)" "$rss_typical" 3072 "at most"
target "peak RSS, large run (KiB)" "$rss_large" 3072 "at most"
target "peak RSS, large run, LF line ends (KiB)" "$rss_lf" 3072 "at most"
apart() { echo $(($1 > $2 ? $1 - $2 : $2 - $1)); }
target "peak RSS, large log against 1 MiB log (KiB apart)" "$(apart "$rss_large" "$rss_one")" \
  256 "at most"
target "peak RSS, large LF log against 1 MiB log (KiB apart)" "$(apart "$rss_lf" "$rss_one")" \
  256 "at most"
target "typical run: ZUB CPU / floor CPU" "$typical_ratio" 1.3 "at most"
target "typical run: pipeline CPU / ZUB CPU" "$pipeline_ratio" 4 "at least"
echo
echo "Not targets: large log, pipeline CPU / ZUB CPU $large_pipeline_ratio; ZUB CPU / CPU of the floor"
echo "opened without access times as ZUB opens the log: typical $typical_noatime_ratio, large $large_noatime_ratio;"
echo "callgrind counted $empty_count instructions for the empty log, $ten_count for the" \
  "$((ten_bytes / 1024)) KiB one."
((quick)) && echo "Quick run: the large log is $large_mib MiB, not 200."
if ((misses > 0)); then
  echo "$misses target(s) missed."
  exit 1
fi
echo "All targets hold."
