#!/usr/bin/env bash
# Runs the Windows builds' tests under Wine in a private Xvfb: the
# cross-built unit tests through CTest, varnolt-scan.exe on real files, and
# varnolt.exe driven as a user would drive it. The 64-bit build runs under
# 64-bit Wine always; the 32-bit build under 32-bit Wine where this machine
# runs 32-bit programs, which is found out by starting one. Expects `make
# windows` first.
# Usage: scripts/test-windows.sh [BUILD64 [BUILD32]]
#        (default: build-windows64 build-windows)
# VARNOLT_WINE64 and VARNOLT_WINE32 name Wine's loaders (default
# /usr/lib/wine/wine64 and /usr/lib/wine/wine); a 32-bit loader that cannot
# start (VARNOLT_WINE32=/nonexistent) tests as a machine without 32-bit
# programs would.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build64=$(cd "${1:-build-windows64}" && pwd)
build32=$(cd "${2:-build-windows}" && pwd)
wine64=${VARNOLT_WINE64:-/usr/lib/wine/wine64}
wine32=${VARNOLT_WINE32:-/usr/lib/wine/wine}

export WINEDEBUG=-all
# Wine reads names and arguments in the locale's character set, and takes its
# system's code page from the locale: UTF-8 names and a Western system.
export LANG=C.UTF-8
unset LC_ALL
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
server_pid=""
tls_server_pid=""
prefixes=()
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$tls_server_pid" ] && kill "$tls_server_pid" 2>/dev/null || true
  for prefix in ${prefixes[@]+"${prefixes[@]}"}; do
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to the pipe.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null & echo "pid $!")
read -r _ xvfb_pid <&3
read -r display <&3
export DISPLAY=":$display"

version=$(sed -n 's/^project(Varnolt VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
passed=0
failed=0
check() {  # check NAME COMMAND...: one end-to-end case
  if "${@:2}"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED ($arch): $1" >&2
  fi
}

# --- The pages the cases read, written here: links named in several scripts
# in a UTF-8 page named in Chinese, and a GB2312 page for a Chinese system.
unicode_page="下载页.htm"
unicode_links="ed2k://|file|中文电影.2024.mkv|734003200|0123456789ABCDEF0123456789ABCDEF|/
ed2k://|file|한국어 자막.srt|48213|11112222333344445555666677778888|/
ed2k://|file|Фильм (1999).avi|699400192|ABCDEFABCDEFABCDEFABCDEFABCDEF12|/
ed2k://|file|🎬 Trailer.mp4|10485760|99998888777766665555444433332222|/
ed2k://|file|Café Crème.iso|650117120|FEDCBA9876543210FEDCBA9876543210|/"
{
  echo '<html><head><meta charset="utf-8"><title>Downloads</title></head><body>'
  while IFS= read -r link; do echo "<a href=\"$link\">$link</a><br>"; done <<<"$unicode_links"
  echo '</body></html>'
} >"$work/$unicode_page"
# "电影" (B5 E7 D3 B0) and "中文字幕": byte pairs that are also UTF-8
# sequences (D3 B0) must still read as Chinese.
gb_links="ed2k://|file|电影.avi|1024|00112233445566778899AABBCCDDEEFF|/
ed2k://|file|中文字幕.srt|2048|FFEEDDCCBBAA99887766554433221100|/"
printf '<html><body>\n%s\n</body></html>\n' "$gb_links" | iconv -f UTF-8 -t GB2312 >"$work/gb.htm"
cp "$root/examples/links.htm" "$work/links.htm"
# 1,000,000 distinct links in 100 MB: the window takes several seconds to
# list them under Wine (and its status log a line for each), long enough to
# be closed while the list fills.
awk 'BEGIN { for (i = 0; i < 1000000; i++)
  printf "<a href=\"ed2k://|file|Film.%d.avi|%d|%032X|/\">Film %d</a>\n", i, i * 7919 + 1, i, i }' \
  >"$work/long-list.htm"

# run_suite ARCH BUILD LOADER: the whole suite for one build, in a Wine
# prefix of its own inside the build folder.
run_suite() {
  arch=$1
  local build=$2 loader=$3
  local suite_passed=$passed suite_failed=$failed
  export WINEPREFIX="$build/wine" WINEARCH=$arch
  prefixes+=("$WINEPREFIX")
  wine() { "$loader" "$@"; }

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine wineboot -i >/dev/null 2>&1
  fi
  # Without a window manager, Wine would wait for one on every window that
  # goes away; unmanaged windows are drawn by Wine itself, caption included.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wineserver -w
  # One server and one set of Wine's own processes for the whole suite,
  # started with no output of ours to hold open: each test program would
  # otherwise start its own and wait for them to go.
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1

  # --- Unit tests (GoogleTest under Wine, registered with CTest)
  if ! (cd "$build" && with_test_authority ctest --output-on-failure --no-tests=error); then
    failed=$((failed + 1))
    echo "FAILED ($arch): ctest" >&2
  fi

  run_end_to_end "$build"
  wineserver -k 2>/dev/null || true
  echo "$arch: $((passed - suite_passed)) passed, $((failed - suite_failed)) failed"
}

run_end_to_end() {
  local build=$1
  # --- varnolt-scan.exe on real files
  scan="$build/varnolt-scan.exe"
  expected_links=$(cd "$work" && wine "$scan" links.htm 2>/dev/null)

  check "varnolt-scan.exe lists the links, no CR added" scan_lists_links
  check "varnolt-scan.exe reads a pipe" scan_reads_pipe
  check "varnolt-scan.exe reports a missing file in readable German" scan_reports_missing
  check "varnolt-scan.exe opens a name in Chinese and writes the links' bytes" \
    scan_opens_a_chinese_name
  check "varnolt-scan.exe writes links in the system's code page unchanged" scan_keeps_gb_bytes
  check "varnolt-scan.exe on a console shows the log and the links in every script" \
    scan_shows_names_on_a_console

  # --- The zip and the resources of varnolt.exe
  zip_name="varnolt-$version-$arch"
  check "the zip holds both programs and the readme; its varnolt-scan.exe runs" \
    zip_holds_both_programs_and_the_readme
  check "varnolt.exe carries icon 1 and its version resource unchanged" \
    icon_beside_the_unchanged_version
  check "varnolt.exe a b exits 2 with the usage line" two_arguments_are_a_usage_error

  # --- varnolt.exe, the real window
  start_window
  check "the window appears titled '$title'" window_appears
  check "START fills the result list; Tab reaches it" clipboard_after_start
  check "a name in Chinese put in the field opens; the list copies out in every script" \
    pasted_chinese_name_opens
  check "a close request ends varnolt.exe with status 0" close_ends_with_zero
  check "varnolt.exe NAME opens a name in Chinese and lists its links" open_with_chinese_name
  check "a GB2312 page shows its names in Chinese on a Chinese system" \
    gb_page_on_a_chinese_system
  check "a close request during a download ends varnolt.exe with status 0" \
    close_during_download_ends_with_zero
  check "a close request while the list fills ends varnolt.exe within a second, status 0" \
    close_while_the_list_fills_ends_with_zero
}

scan_lists_links() {
  [ "$(printf '%s\n' "$expected_links" | wc -l)" -ge 2 ] &&
    printf '%s\n' "$expected_links" | grep -q '^ed2k://' &&
    ! printf '%s' "$expected_links" | grep -q $'\r'
}

scan_reads_pipe() {
  [ "$(cd "$work" && cat links.htm | wine "$scan" - 2>/dev/null)" = "$expected_links" ]
}

scan_reports_missing() {
  local status=0
  (cd "$work" && wine "$scan" fehlt.htm >/dev/null 2>"$work/err") || status=$?
  [ "$status" -eq 1 ] &&
    grep -q 'Öffne Datei: fehlt.htm...' "$work/err" &&
    grep -q 'FEHLER:Datei konnte nicht geöffnet werden' "$work/err"
}

# The name reaches the program whole (not "???.htm"), and the log, redirected,
# is UTF-8.
scan_opens_a_chinese_name() {
  (cd "$work" && wine "$scan" "$unicode_page" >"$work/out" 2>"$work/err") || return 1
  [ "$(cat "$work/out")" = "$unicode_links" ] &&
    tr -d '\r' <"$work/err" | grep -qx "Öffne Datei: $unicode_page...OK"
}

scan_keeps_gb_bytes() {
  (cd "$work" && wine "$scan" gb.htm >"$work/out" 2>/dev/null) || return 1
  cmp -s "$work/out" <(printf '%s\n' "$gb_links" | iconv -f UTF-8 -t GB2312)
}

# On a console (Wine makes one of a terminal, which `script` provides), the
# log and the links show by the display rule through the console's wide
# output, whatever code page the console has. The terminal is made wide
# enough for a link to stay on one line.
scan_shows_names_on_a_console() {
  (cd "$work" &&
    timeout 60 script -qec "stty cols 300; '$loader' '$scan' '$unicode_page'" /dev/null) \
    </dev/null >"$work/console" 2>&1 || return 1
  local shown
  shown=$(sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\r//g' "$work/console")
  grep -qxF "Öffne Datei: $unicode_page...OK" <<<"$shown" || return 1
  while IFS= read -r link; do
    # Wine's console writes each half of a surrogate pair to the terminal
    # on its own, as two U+FFFD: the emoji's line is left out here.
    case $link in *🎬*) continue ;; esac
    grep -qxF "$link" <<<"$shown" || { echo "console shows: $shown" >&2; return 1; }
  done <<<"$unicode_links"
}

zip_holds_both_programs_and_the_readme() {
  local listed
  listed=$(cmake -E tar tf "$build/$zip_name.zip" | grep -v '/$' | sort)
  [ "$listed" = "$(printf '%s\n' "$zip_name/readme.txt" "$zip_name/varnolt-scan.exe" \
                      "$zip_name/varnolt.exe")" ] || { echo "zip holds: $listed" >&2; return 1; }
  local readme="$work/zip/$zip_name/readme.txt"
  mkdir -p "$work/zip" && (cd "$work/zip" && cmake -E tar xf "$build/$zip_name.zip") &&
    grep -q 'Deutsch' "$readme" && grep -q 'English' "$readme" &&
    [ "$(grep -c $'\r$' "$readme")" -eq "$(wc -l <"$readme")" ] &&
    [ "$(cd "$work" && wine "$work/zip/$zip_name/varnolt-scan.exe" links.htm 2>/dev/null)" = \
      "$expected_links" ]
}

# The icon sits beside a version resource whose bytes never change.
icon_beside_the_unchanged_version() {
  wrestool -l "$build/varnolt.exe" | grep -q -- '--type=14 --name=1 ' &&
    [ "$(wrestool -x --raw --type=16 --name=1 "$build/varnolt.exe" | sha256sum | cut -c1-64)" = \
      0b97c64527d74389ee9a8f2336012b4b1a2dd4f0f7ed50f0bbf361b252e754fc ]
}

two_arguments_are_a_usage_error() {
  local status=0
  (cd "$work" && wine "$build/varnolt.exe" a b >/dev/null 2>"$work/err") || status=$?
  [ "$status" -eq 2 ] && grep -q 'Usage: varnolt \[FILE-OR-ADDRESS\]' "$work/err"
}

title="Varnolt V1 BUILD 2"
# start_window [ARG]: starts varnolt.exe in the work folder ($app_pid), with
# ARG on its command line if given, and sets $window to its window once it
# shows, empty if it does not within 20 s. The environment's LANG is Wine's
# locale. (Not in a subshell: the program must stay this shell's child.)
start_window() {
  (cd "$work" && exec "$loader" "$build/varnolt.exe" "$@") &
  app_pid=$!
  window=""
  for _ in $(seq 100); do
    window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n1) && [ -n "$window" ] && break
    sleep 0.2
  done
}

# client_origin WINDOW: sets $client_x and $client_y, the screen position of
# the window's client area. The X window is the whole outer window: Wine
# draws frame and caption.
client_origin() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  local border=$(((WIDTH - 370) / 2))
  client_x=$((X + border)) client_y=$((Y + HEIGHT - 330 - border))
}

# type_and_start WINDOW TEXT: types TEXT into the input field and clicks START.
type_and_start() {
  client_origin "$1"
  xdotool mousemove $((client_x + 200)) $((client_y + 20)) click 1
  sleep 0.3
  xdotool key End shift+Home Delete
  xdotool type --delay 20 "$2"
  xdotool mousemove $((client_x + 185)) $((client_y + 70)) click 1
}

# paste_and_start WINDOW TEXT: puts TEXT into the input field through the
# clipboard and clicks START. (xdotool types a character that the keyboard
# lacks by lending it a key, which Wine does not read as the character.)
paste_and_start() {
  printf '%s' "$2" | xclip -quiet -selection clipboard -i >/dev/null 2>&1 &
  local clip_pid=$!
  sleep 0.3
  client_origin "$1"
  xdotool mousemove $((client_x + 200)) $((client_y + 20)) click 1
  sleep 0.3
  xdotool key End shift+Home Delete ctrl+v
  sleep 0.3
  kill "$clip_pid" 2>/dev/null || true
  wait "$clip_pid" 2>/dev/null || true
  xdotool mousemove $((client_x + 185)) $((client_y + 70)) click 1
}

# copied_result_list WINDOW: the result list's whole text as the clipboard
# hands it to another program, in UTF-8.
copied_result_list() {
  client_origin "$1"
  # Into the input field, then Tab, Tab: past "..." into the result list.
  xdotool mousemove $((client_x + 200)) $((client_y + 20)) click 1
  sleep 0.3
  xdotool key Tab Tab ctrl+a ctrl+c
  sleep 1
  xclip -o -selection clipboard 2>/dev/null | tr -d '\r'
}

window_appears() {
  [ -n "$window" ] || return 1
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # The X window is the whole outer window: Wine draws frame and caption.
  [ "$WIDTH" -gt 370 ] && [ "$WIDTH" -lt 400 ] && [ "$HEIGHT" -gt 330 ] && [ "$HEIGHT" -lt 380 ]
}

clipboard_after_start() {
  [ -n "$window" ] || return 1
  type_and_start "$window" "links.htm"
  sleep 1.5
  [ "$(copied_result_list "$window")" = "$expected_links" ]
}

pasted_chinese_name_opens() {
  [ -n "$window" ] || return 1
  paste_and_start "$window" "$unicode_page"
  sleep 1.5
  [ "$(copied_result_list "$window")" = "$unicode_links" ]
}

# ends_with_zero SECONDS: varnolt.exe ($app_pid) ends within SECONDS, with
# status 0.
ends_with_zero() {
  local status=0
  for _ in $(seq $(($1 * 5))); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.2
  done
  if kill -0 "$app_pid" 2>/dev/null; then
    echo "varnolt.exe did not end within $1 s of the close request" >&2
    return 1
  fi
  wait "$app_pid" || status=$?
  app_pid=""
  [ "$status" -eq 0 ]
}

close_ends_with_zero() {
  [ -n "$window" ] || return 1
  xdotool windowactivate "$window" 2>/dev/null || true
  xdotool key --window "$window" alt+F4
  ends_with_zero 10
}

# "Open with": the name on the command line, as Explorer hands it over.
open_with_chinese_name() {
  start_window "$unicode_page"
  [ -n "$window" ] || return 1
  sleep 1.5
  local copied
  copied=$(copied_result_list "$window")
  close_ends_with_zero || return 1
  [ "$copied" = "$unicode_links" ]
}

# Wine takes its system's code page from LANG: 936 for Chinese.
gb_page_on_a_chinese_system() {
  LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8 start_window gb.htm
  [ -n "$window" ] || return 1
  sleep 1.5
  local copied
  copied=$(copied_result_list "$window")
  close_ends_with_zero || return 1
  [ "$copied" = "$gb_links" ] || { echo "copied: $copied" >&2; return 1; }
}

# --- varnolt.exe closed while a page trickles in
# A server on 127.0.0.1 whose page arrives a byte every 0.2 s: slow enough
# never to end within the test, fast enough for no time limit to cut it off.
start_trickling_server() {
  /usr/bin/python3 - "$work/port" <<'EOF' &
import os, socket, sys, time
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(4)
with open(sys.argv[1] + ".tmp", "w") as port:
    port.write(str(server.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    client, _ = server.accept()
    client.recv(65536)
    try:
        client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")
        for _ in range(600):
            client.sendall(b"x")
            time.sleep(0.2)
    except OSError:
        pass
    client.close()
EOF
  server_pid=$!
  for _ in $(seq 50); do [ -f "$work/port" ] && break; sleep 0.1; done
}

close_during_download_ends_with_zero() {
  [ -f "$work/port" ] || return 1
  start_window
  [ -n "$window" ] || return 1
  type_and_start "$window" "http://127.0.0.1:$(cat "$work/port")/slow.htm"
  sleep 2
  xdotool key --window "$window" alt+F4
  ends_with_zero 5 || return 1
  # No page was stored and no partial one is left behind.
  ! ls "$work" | grep -q '^download\.htm'
}

# The CPU time that process $1 has used so far, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

close_while_the_list_fills_ends_with_zero() {
  start_window long-list.htm
  [ -n "$window" ] || return 1
  sleep 2
  # Still at work: the close comes while the list fills, not after.
  local ticks
  ticks=$(cpu_ticks "$app_pid")
  sleep 0.5
  [ $(($(cpu_ticks "$app_pid") - ticks)) -ge 5 ] || { echo "the list was no longer filling" >&2; return 1; }
  xdotool key --window "$window" alt+F4
  ends_with_zero 1
}

# --- TLS servers on 127.0.0.1 for the TLS channel's unit tests, named in
# the environment (VARNOLT_TLS_*), and a copy of the host's CA bundle that
# also holds their throwaway authority.
start_tls_servers() {
  mkdir "$work/tls"
  /usr/bin/python3 "$root/tests/fetch/tls_test_server.py" "$work/tls" &
  tls_server_pid=$!
  for _ in $(seq 300); do [ -f "$work/tls/environment" ] && break; sleep 0.1; done
  if [ ! -f "$work/tls/environment" ]; then
    echo "windows: the TLS test servers did not start; the TLS channel's tests skip" >&2
    return
  fi
  set -a
  . "$work/tls/environment"
  set +a
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    cat /etc/ssl/certs/ca-certificates.crt "$work/tls/ca.pem" >"$work/tls/bundle.crt"
  fi
}

# with_test_authority COMMAND...: COMMAND with the TLS test authority among
# the trusted roots. Wine 8 takes its roots from the host's CA bundle alone
# (a certificate a program adds to its "Root" store is dropped), so COMMAND
# runs in a mount namespace of its own where the bundle is the copy above;
# nothing changes outside it. Where that cannot be made, COMMAND runs as it
# is and the tests that need the authority say they skip.
with_test_authority() {
  if [ -f "$work/tls/bundle.crt" ] && unshare -m --propagation private true 2>/dev/null; then
    unshare -m --propagation private sh -c \
      'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt 2>/dev/null; exec "$@"' \
      "$work/tls/bundle.crt" "$@"
  else
    "$@"
  fi
}

start_trickling_server
start_tls_servers

run_suite win64 "$build64" "$wine64"

# A kernel without 32-bit support refuses the 32-bit loader ("Exec format
# error"); only starting a 32-bit program tells.
if WINEPREFIX="$build32/wine" WINEARCH=win32 "$wine32" "$build32/varnolt-scan.exe" --version \
  </dev/null 2>/dev/null | grep -q '^varnolt-scan '; then
  run_suite win32 "$build32" "$wine32"
else
  echo "windows: $wine32 cannot start a 32-bit program here; the 32-bit build is not tested"
fi

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
