#!/usr/bin/env bash
# Runs the Windows build's tests under 32-bit Wine in a private Xvfb: the
# cross-built unit tests through CTest, varnolt-scan.exe on real files, and
# varnolt.exe driven as a user would drive it. Expects `make windows` first.
# Usage: scripts/test-windows.sh [BUILD_DIR]   (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build-windows}" && pwd)

export WINEPREFIX="$build/wine" WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
server_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to the pipe.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null & echo "pid $!")
read -r _ xvfb_pid <&3
read -r display <&3
export DISPLAY=":$display"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
fi
# Without a window manager, Wine would wait for one on every window that
# goes away; unmanaged windows are drawn by Wine itself, caption included.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w

passed=0
failed=0
check() {  # check NAME COMMAND...: one end-to-end case
  if "${@:2}"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1" >&2
  fi
}

# --- Unit tests (GoogleTest under Wine, registered with CTest)
if ! (cd "$build" && ctest --output-on-failure --no-tests=error); then
  failed=$((failed + 1))
  echo "FAILED: ctest" >&2
fi

# --- varnolt-scan.exe on real files
scan="$build/varnolt-scan.exe"
cp "$root/examples/links.htm" "$work/links.htm"
expected_links=$(cd "$work" && wine "$scan" links.htm 2>/dev/null)

scan_lists_links() {
  [ "$(printf '%s\n' "$expected_links" | wc -l)" -ge 2 ] &&
    printf '%s\n' "$expected_links" | grep -q '^ed2k://' &&
    ! printf '%s' "$expected_links" | grep -q $'\r'
}
check "varnolt-scan.exe lists the links, no CR added" scan_lists_links

scan_reads_pipe() {
  [ "$(cd "$work" && cat links.htm | wine "$scan" - 2>/dev/null)" = "$expected_links" ]
}
check "varnolt-scan.exe reads a pipe" scan_reads_pipe

scan_reports_missing() {
  local status=0
  (cd "$work" && wine "$scan" fehlt.htm >/dev/null 2>"$work/err") || status=$?
  [ "$status" -eq 1 ] &&
    grep -q 'Öffne Datei: fehlt.htm...' "$work/err" &&
    grep -q 'FEHLER:Datei konnte nicht geöffnet werden' "$work/err"
}
check "varnolt-scan.exe reports a missing file in readable German" scan_reports_missing

# --- The zip and the resources of varnolt.exe
zip_name="varnolt-$(sed -n 's/^project(Varnolt VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")-win32"

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
check "the zip holds both programs and the readme; its varnolt-scan.exe runs" \
  zip_holds_both_programs_and_the_readme

# The icon sits beside a version resource whose bytes never change.
icon_beside_the_unchanged_version() {
  wrestool -l "$build/varnolt.exe" | grep -q -- '--type=14 --name=1 ' &&
    [ "$(wrestool -x --raw --type=16 --name=1 "$build/varnolt.exe" | sha256sum | cut -c1-64)" = \
      0b97c64527d74389ee9a8f2336012b4b1a2dd4f0f7ed50f0bbf361b252e754fc ]
}
check "varnolt.exe carries icon 1 and its version resource unchanged" \
  icon_beside_the_unchanged_version

two_arguments_are_a_usage_error() {
  local status=0
  (cd "$work" && wine "$build/varnolt.exe" a b >/dev/null 2>"$work/err") || status=$?
  [ "$status" -eq 2 ] && grep -q 'Usage: varnolt \[FILE-OR-ADDRESS\]' "$work/err"
}
check "varnolt.exe a b exits 2 with the usage line" two_arguments_are_a_usage_error

# --- varnolt.exe, the real window
title="Varnolt V1 BUILD 2"
# start_window: starts varnolt.exe in the work folder ($app_pid) and sets
# $window to its window once it shows, empty if it does not within 20 s.
# (Not in a subshell: the program must stay this shell's child.)
start_window() {
  (cd "$work" && exec wine "$build/varnolt.exe") &
  app_pid=$!
  window=""
  for _ in $(seq 100); do
    window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n1) && [ -n "$window" ] && break
    sleep 0.2
  done
}

# type_and_start WINDOW TEXT: types TEXT into the input field and clicks START.
type_and_start() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  # The X window is the whole outer window: Wine draws frame and caption.
  local border=$(((WIDTH - 370) / 2))
  local client_x=$((X + border)) client_y=$((Y + HEIGHT - 330 - border))
  xdotool mousemove $((client_x + 200)) $((client_y + 20)) click 1
  sleep 0.3
  xdotool type --delay 20 "$2"
  xdotool mousemove $((client_x + 185)) $((client_y + 70)) click 1
}

start_window

window_appears() {
  [ -n "$window" ] || return 1
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # The X window is the whole outer window: Wine draws frame and caption.
  [ "$WIDTH" -gt 370 ] && [ "$WIDTH" -lt 400 ] && [ "$HEIGHT" -gt 330 ] && [ "$HEIGHT" -lt 380 ]
}
check "the window appears titled '$title'" window_appears

clipboard_after_start() {
  [ -n "$window" ] || return 1
  type_and_start "$window" "links.htm"
  sleep 1.5
  eval "$(xdotool getwindowgeometry --shell "$window")"
  local border=$(((WIDTH - 370) / 2))
  local client_x=$((X + border)) client_y=$((Y + HEIGHT - 330 - border))
  # Back into the input field, then Tab, Tab: past "..." into the result list.
  xdotool mousemove $((client_x + 200)) $((client_y + 20)) click 1
  sleep 0.3
  xdotool key Tab Tab ctrl+a ctrl+c
  sleep 1
  local copied
  copied=$(xclip -o -selection clipboard 2>/dev/null | tr -d '\r')
  [ "$copied" = "$expected_links" ]
}
check "START fills the result list; Tab reaches it" clipboard_after_start

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
check "a close request ends varnolt.exe with status 0" close_ends_with_zero

# --- varnolt.exe closed while a page trickles in
# A server on 127.0.0.1 whose page arrives a byte every 0.2 s: slow enough
# never to end within the test, fast enough for no time limit to cut it off.
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
check "a close request during a download ends varnolt.exe with status 0" \
  close_during_download_ends_with_zero

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
