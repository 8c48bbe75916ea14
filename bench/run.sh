#!/usr/bin/env bash
# The scan benchmark. Times, best of several runs with the input in the page
# cache: varnolt-scan, the grep and ripgrep pipelines that do the same job on
# a terminal, and cat (the cost of reading the file at all). Prints each time
# and the ratios, then the inputs that would make a naive scan slow, peak
# memory, a small page, and the window driven through "START"; at the end,
# where Wine is installed, the Win32 window's list (bench/win32_list.sh).
#
# Everything is timed twice, once for each way a file realistically sits in
# the page cache (see cache_as_state):
#   written  just written by a program in 64 KiB writes (a download, a copy)
#   read     dropped from the cache and read back once (a file read from disk)
#
#   bench/run.sh [SIZE_MIB]      default 512; RUNS=7, BIG=1 adds a 4.5 GiB file
set -euo pipefail
cd "$(dirname "$0")/.."

size=${1:-512}
runs=${RUNS:-7}
build=build-bench
data=$build/data

scripts/install-deps.sh --bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BENCH=ON -DVARNOLT_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target varnolt-scan make_corpus window_bench >/dev/null
scan=$build/varnolt-scan
mkdir -p "$data"

# wall_us COMMAND: the wall time of one run, in microseconds.
wall_us() {
  local t0 t1
  t0=$(date +%s%N)
  bash -c "$1"
  t1=$(date +%s%N)
  echo $(((t1 - t0) / 1000))
}

seconds() { awk -v us="$1" 'BEGIN { printf "%.3f", us / 1e6 }'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# best_in_turns JOB...: the best wall time of each job over $runs rounds, in
# microseconds, into the array `best`. The jobs take turns, so that a slow
# spell of the machine hits all of them alike instead of one job's series.
best_in_turns() {
  local jobs=("$@") us k j
  best=()
  for ((k = 0; k < runs; k++)); do
    for j in "${!jobs[@]}"; do
      us=$(wall_us "${jobs[$j]}")
      if [ -z "${best[$j]:-}" ] || [ "$us" -lt "${best[$j]}" ]; then best[$j]=$us; fi
    done
  done
}

# check LABEL VALUE LIMIT: VALUE must not exceed LIMIT.
missed=0
check() {
  local verdict
  verdict=$(awk -v v="$2" -v l="$3" 'BEGIN { print (v <= l) ? "met" : "MISSED" }')
  [ "$verdict" = met ] || missed=$((missed + 1))
  printf '  %-46s %8s  (target <= %s: %s)\n' "$1" "$2" "$3" "$verdict"
}

# cache_as_state STATE SOURCE TIMED: makes TIMED a copy of SOURCE that sits
# in the page cache as STATE says. A file just written stays cached in the
# pieces it was written in; a file read from disk comes back in the large
# pieces of the system's read-ahead. Reads of the same bytes, cat's too, can
# take twice as long in the one state as in the other.
cache_as_state() {
  rm -f "$3"
  dd if="$2" of="$3" bs=64K status=none
  # Written back now, so that no write-back runs while the file is timed.
  sync "$3"
  if [ "$1" = read ]; then
    dd if="$3" iflag=nocache count=0 status=none
    cat "$3" >/dev/null
  fi
}

peak_kib() {
  /usr/bin/time -f %M -o "$data/rss.txt" "$scan" "$1" >/dev/null 2>&1
  tail -n 1 "$data/rss.txt"
}

peak_mib() { awk -v k="$(peak_kib "$1")" 'BEGIN { printf "%.1f", k / 1024 }'; }

# The inputs, generated once.
corpus=$data/corpus-$size.htm
[ -f "$corpus" ] || "$build/make_corpus" "$corpus" "$size"
spelled=$data/corpus-$size-spelled.htm
[ -f "$spelled" ] || "$build/make_corpus" "$spelled" "$size" --spelled
# The corpus saved as Windows programs save text: UTF-16 behind a byte-order
# mark. Its text is the corpus itself, its UTF-8 twin.
utf16=$data/corpus-$size-utf16.htm
if [ ! -f "$utf16" ]; then
  { printf '\xFF\xFE'; iconv -f UTF-8 -t UTF-16LE "$corpus"; } >"$utf16.part"
  mv "$utf16.part" "$utf16"
fi
patterns=('ed2k://' '|/' 'ed2k://|/' 'ed2k://%7C')
pattern_file() { echo "$data/repeated-$(printf '%s' "$1" | tr -c 'a-z0-9' '_').bin"; }
for pattern in "${patterns[@]}"; do
  file=$(pattern_file "$pattern")
  [ -f "$file" ] || "$build/make_corpus" "$file" 100 "$pattern"
done
page=$data/page-100k.htm
[ -f "$page" ] || head -c 100000 "$corpus" >"$page"

timed=$data/timed.htm
timed_utf16=$data/timed-utf16.htm
grep_job() { echo "LC_ALL=C grep -oiP 'ed2k://.*?\|/' '$1' | awk '!seen[\$0]++'"; }
rg_job() { echo "LC_ALL=C rg -oi 'ed2k://.*?\|/' '$1' | awk '!seen[\$0]++'"; }

echo "Corpus: $size MiB, best of $runs runs, $(nproc) cores, $(uname -m), Linux $(uname -r)"
for state in written read; do
  echo "== Every input $([ $state = written ] && echo "just written in 64 KiB writes" ||
    echo "dropped from the cache and read back once")"

  cache_as_state $state "$corpus" "$timed"
  scan_job="'$scan' '$timed' 2>/dev/null"
  # Once into files to compare the answers, then timed into /dev/null like cat.
  bash -c "$scan_job" >"$data/scan.out"
  bash -c "$(grep_job "$timed")" >"$data/grep.out"
  bash -c "$(rg_job "$timed")" >"$data/rg.out"
  cmp -s "$data/scan.out" "$data/grep.out" || { echo "grep printed other links"; exit 1; }
  cmp -s "$data/scan.out" "$data/rg.out" || { echo "ripgrep printed other links"; exit 1; }
  best_in_turns "cat '$timed' >/dev/null" "$scan_job >/dev/null" "$(grep_job "$timed") >/dev/null" \
    "$(rg_job "$timed") >/dev/null"
  t_cat=$(seconds "${best[0]}")
  t_scan=$(seconds "${best[1]}")
  printf '  %-12s %7ss\n' cat "$t_cat" varnolt-scan "$t_scan" "grep -oiP" "$(seconds "${best[2]}")" \
    "rg -oi" "$(seconds "${best[3]}")"
  echo "  all three print the same $(wc -l <"$data/scan.out") links"
  check "varnolt-scan / cat" "$(ratio "${best[1]}" "${best[0]}")" 1.5
  check "varnolt-scan / grep pipeline" "$(ratio "${best[1]}" "${best[2]}")" 0.167
  check "varnolt-scan / ripgrep pipeline" "$(ratio "${best[1]}" "${best[3]}")" 0.125
  check "peak memory of varnolt-scan, MiB" "$(peak_mib "$timed")" 64

  echo "The window (offscreen) through \"START\" on the corpus:"
  t_window=""
  for ((k = 0; k < runs; k++)); do
    read -r t filled lines < <("$build/window_bench" "$timed" 2>/dev/null)
    if [ -z "$t_window" ] || awk -v a="$t" -v b="$t_window" 'BEGIN { exit !(a < b) }'; then
      t_window=$t
      filled_window=$filled
    fi
  done
  echo "  command done in ${t_window}s with $lines status-log lines;" \
    "every link in the result list after ${filled_window}s"
  check "window command / varnolt-scan" "$(ratio "$t_window" "$t_scan")" 2

  # The same text in UTF-16, against its UTF-8 twin: the file is read twice
  # (once to count its text), and it is twice as large.
  cache_as_state $state "$utf16" "$timed_utf16"
  "$scan" "$timed_utf16" 2>/dev/null | cmp -s - "$data/scan.out" ||
    { echo "the UTF-16 corpus gave other links"; exit 1; }
  best_in_turns "'$scan' '$timed_utf16' >/dev/null 2>&1" "$scan_job >/dev/null"
  check "UTF-16 corpus / its UTF-8 twin ($(seconds "${best[0]}")s)" \
    "$(ratio "${best[0]}" "${best[1]}")" 4
  rm -f "$timed_utf16"

  # A fifth of the links spelled ("%7C", "&#124;"), which grep and ripgrep
  # cannot decode: against cat alone.
  cache_as_state $state "$spelled" "$timed"
  best_in_turns "cat '$timed' >/dev/null" "'$scan' '$timed' >/dev/null 2>&1"
  check "spelled corpus: varnolt-scan / cat" "$(ratio "${best[1]}" "${best[0]}")" 1.5

  echo "Inputs that would make a naive scan slow, 100 MiB each (time per byte / corpus's):"
  for pattern in "${patterns[@]}"; do
    cache_as_state $state "$(pattern_file "$pattern")" "$timed"
    best_in_turns "'$scan' '$timed' >/dev/null 2>&1"
    t=$(seconds "${best[0]}")
    check "repeated '$pattern' (${t}s)" "$(awk -v t="$t" -v c="$t_scan" -v s="$size" \
      'BEGIN { printf "%.2f", (t / 100) / (c / s) }')" 3
    check "  peak memory, MiB" "$(peak_mib "$timed")" 64
  done

  # A page of 100 KB costs about what starting a program costs.
  cache_as_state $state "$page" "$timed"
  best_in_turns "'$scan' '$timed' >/dev/null 2>&1" "$(grep_job "$timed") >/dev/null"
  check "100 KB page: varnolt-scan / grep pipeline ($(seconds "${best[0]}")s)" \
    "$(ratio "${best[0]}" "${best[1]}")" 1.5
done
rm -f "$timed"

if [ "${BIG:-0}" = 1 ]; then
  big=$data/big.bin
  if [ ! -f "$big" ]; then
    printf 'ed2k://|file|first|1|AA|/' >"$big"
    truncate -s 4600M "$big"
    printf 'ed2k://|file|last|2|BB|/' >>"$big"
  fi
  echo "A sparse 4.5 GiB file with a link at each end:"
  "$scan" "$big" 2>/dev/null | tr '\n' ' '
  echo
  check "  peak memory, MiB" "$(peak_mib "$big")" 64
fi

# --- The window on a long list: 2 million distinct links, one a line. Peak
# memory and the time from "START" until every link is in the result list
# (window_bench: offscreen, the program's loop), against varnolt-scan on the
# same file in the same run. A window run takes some seconds: best of three.
links=$data/links-2m.txt
[ -f "$links" ] || "$build/make_corpus" "$links" --links 2000000
echo "The window on 2,000,000 distinct links (the file in the page cache):"
cat "$links" >/dev/null
best_in_turns "'$scan' '$links' >/dev/null 2>&1"
t_scan_links=$(seconds "${best[0]}")
scan_links_kib=$(peak_kib "$links")
t_list=""
window_links_kib=0
for ((k = 0; k < (runs < 3 ? runs : 3); k++)); do
  /usr/bin/time -f %M -o "$data/rss.txt" "$build/window_bench" "$links" >"$data/window.txt" 2>/dev/null
  read -r _ filled _ <"$data/window.txt"
  kib=$(tail -n 1 "$data/rss.txt")
  [ "$kib" -gt "$window_links_kib" ] && window_links_kib=$kib
  if [ -z "$t_list" ] || awk -v a="$filled" -v b="$t_list" 'BEGIN { exit !(a < b) }'; then
    t_list=$filled
  fi
done
echo "  varnolt-scan ${t_scan_links}s, $((scan_links_kib / 1024)) MiB;" \
  "the window's list complete after ${t_list}s, $((window_links_kib / 1024)) MiB at most"
check "window peak memory / varnolt-scan's" "$(ratio "$window_links_kib" "$scan_links_kib")" 3
check "window list complete / varnolt-scan" "$(ratio "$t_list" "$t_scan_links")" 5

# The Win32 window under Wine, where Wine is installed: its list of the
# corpus against varnolt-scan.exe, timed in a run of its own.
if [ -x "${VARNOLT_WINE64:-/usr/lib/wine/wine64}" ]; then
  status=0
  bench/win32_list.sh "$corpus" || status=$?
  [ "$status" -eq 0 ] || missed=$((missed + 1))
fi

echo "$missed target(s) missed"
