#!/usr/bin/env bash
# The Win32 window under Wine on the benchmark's corpus: the seconds from
# "START" until its result list holds every link, against the whole run of
# varnolt-scan.exe on the same file, both timed here in one run. The window
# is timed once (it takes a while), varnolt-scan.exe best of RUNS (default 7).
# Builds the 64-bit programs into build-bench-windows64 and runs them in a
# Wine prefix there and a private Xvfb. bench/run.sh calls it at its end.
# HANDOVER=1 also times, once, how long the window takes to hand the listed
# corpus over to its rich edit after a click into the list: a cost of Wine's
# rich edit, reported, not held to a target.
#
#   bench/win32_list.sh CORPUS
#
# Exits 3 when the target is missed, 1 on any other failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

corpus=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${RUNS:-7}
build=build-bench-windows64
wine=${VARNOLT_WINE64:-/usr/lib/wine/wine64}
target=5

scripts/install-deps.sh --windows >/dev/null
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DVARNOLT_GUI=OFF -DVARNOLT_TESTS=OFF -DVARNOLT_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target varnolt-scan win32_window_bench >/dev/null

export WINEDEBUG=-all WINEPREFIX=$PWD/$build/wine WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY
xvfb_pid=""
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null & echo "pid $!")
read -r _ xvfb_pid <&3
read -r display <&3
export DISPLAY=":$display"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# One server for all runs, as a program started from Explorer finds one.
wineserver -p </dev/null >/dev/null 2>&1
"$wine" cmd /c exit </dev/null >/dev/null 2>&1

# The programs read the corpus by its name in its own folder.
cd "$(dirname "$corpus")"
name=$(basename "$corpus")
scan="'$wine' '$root/$build/varnolt-scan.exe' '$name' >/dev/null 2>&1"
best=""
for ((k = 0; k < runs; k++)); do
  t0=$(date +%s%N)
  bash -c "$scan"
  t1=$(date +%s%N)
  us=$(((t1 - t0) / 1000))
  if [ -z "$best" ] || [ "$us" -lt "$best" ]; then best=$us; fi
done
t_scan=$(awk -v us="$best" 'BEGIN { printf "%.3f", us / 1e6 }')

hand_over=()
[ "${HANDOVER:-0}" = 1 ] && hand_over=(--hand-over)
read -r t_list shown lines t_hand_over < <("$wine" "$root/$build/win32_window_bench.exe" "$name" \
  ${hand_over[@]+"${hand_over[@]}"}) || { echo "the window did not list the corpus" >&2; exit 1; }
ratio=$(awk -v a="$t_list" -v b="$t_scan" 'BEGIN { printf "%.2f", a / b }')
verdict=$(awk -v v="$ratio" -v l="$target" 'BEGIN { print (v <= l) ? "met" : "MISSED" }')
echo "The Win32 window under Wine ($("$wine" --version)) through \"START\" on the corpus:"
echo "  varnolt-scan.exe ${t_scan}s (best of $runs); all $shown links in the result list" \
  "${t_list}s after \"START\", $lines status-log lines"
printf '  %-46s %8s  (target <= %s: %s)\n' "Win32 window list / varnolt-scan.exe" "$ratio" "$target" \
  "$verdict"
if [ -n "${t_hand_over:-}" ]; then
  echo "  hand-over of the listed corpus to the rich edit after a click: ${t_hand_over}s"
fi
[ "$verdict" = met ] || exit 3
