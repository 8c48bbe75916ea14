#!/usr/bin/env bash
# Checks the Debian package that `make package` built: its control fields and
# file list, the unpacked programs, the desktop entry, the AppStream metadata
# and the manual pages; then, as root, installs it with apt-get and removes it
# again, and checks that nothing is left behind.
# Usage: scripts/test-package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build}" && pwd)

work=$(mktemp -d)
installed_here=""
cleanup() {
  if [ -n "$installed_here" ]; then
    apt-get -o DPkg::Lock::Timeout=600 remove -y -qq varnolt >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check NAME COMMAND...: one case
  if "${@:2}"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1" >&2
  fi
}

debs=("$build"/varnolt_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "expected one varnolt_*.deb in $build, found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg --print-architecture)

# --- Control fields
field() { dpkg-deb -f "$deb" "$1"; }
fields_are_complete() {
  [ "$(basename "$deb")" = "varnolt_${version}_${arch}.deb" ] &&
    [ "$(field Package)" = varnolt ] &&
    [ "$(field Architecture)" = "$arch" ] &&
    [ "$(field Section)" = net ] &&
    field Maintainer | grep -q '<.*@.*>' &&
    # A synopsis line and a paragraph of description beneath it.
    [ "$(field Description | wc -l)" -ge 3 ]
}
check "control fields: name, version, architecture, section, maintainer, description" \
  fields_are_complete

depends_come_from_the_binaries() {
  local depends
  depends=$(field Depends)
  for library in libc6 libstdc++6 libcurl4 libqt6core6 libqt6widgets6 qt6-qpa-plugins; do
    grep -q "\b$library\b" <<<"$depends" || { echo "Depends lacks $library: $depends" >&2; return 1; }
  done
}
check "Depends: the libraries of the binaries and the Qt platform plugin" \
  depends_come_from_the_binaries

# --- File list: exactly these files, nothing beside them
files_are_exactly_these() {
  local want got
  want=$(sort <<EOF2
./usr/bin/varnolt
./usr/bin/varnolt-scan
./usr/share/applications/varnolt.desktop
./usr/share/doc/varnolt/README.md
./usr/share/doc/varnolt/copyright
./usr/share/icons/hicolor/scalable/apps/varnolt.svg
./usr/share/man/man1/varnolt-scan.1.gz
./usr/share/man/man1/varnolt.1.gz
./usr/share/metainfo/org.varnolt.varnolt.metainfo.xml
EOF2
)
  got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  [ "$got" = "$want" ] || { diff <(echo "$want") <(echo "$got") >&2; return 1; }
}
check "file list" files_are_exactly_these

# --- The unpacked package
unpacked=$work/unpacked
dpkg-deb -x "$deb" "$unpacked"

unpacked_scan_lists_the_example_links() {
  local out
  out=$(cd "$work" && "$unpacked/usr/bin/varnolt-scan" "$root/examples/links.htm" 2>/dev/null)
  [ "$out" = "$("$build/varnolt-scan" "$root/examples/links.htm" 2>/dev/null)" ] &&
    [ "$(wc -l <<<"$out")" -eq 3 ]
}
check "the unpacked varnolt-scan lists the example's links" unpacked_scan_lists_the_example_links

unpacked_window_refuses_two_arguments() {
  local status=0 err
  err=$(env -u DISPLAY -u WAYLAND_DISPLAY "$unpacked/usr/bin/varnolt" a b 2>&1) || status=$?
  [ "$status" -eq 2 ] && [ "$err" = "Usage: varnolt [FILE-OR-ADDRESS]" ]
}
check "the unpacked varnolt answers 'a b' with the usage line and status 2" \
  unpacked_window_refuses_two_arguments

desktop_entry_is_valid() {
  local entry=$unpacked/usr/share/applications/varnolt.desktop
  desktop-file-validate "$entry" &&
    grep -qx 'Exec=varnolt %u' "$entry" &&
    grep -qx 'Icon=varnolt' "$entry" &&
    grep -qx 'MimeType=text/html;text/plain;application/xhtml+xml;' "$entry"
}
check "desktop-file-validate, Exec, Icon and MimeType" desktop_entry_is_valid
check "appstreamcli validate" \
  appstreamcli validate --no-net "$unpacked/usr/share/metainfo/org.varnolt.varnolt.metainfo.xml"

man_pages_render_cleanly() {
  local page out
  for page in varnolt varnolt-scan; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l \
      "$unpacked/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$out" ] || { echo "$page.1: $out" >&2; return 1; }
  done
}
check "the manual pages render without warnings" man_pages_render_cleanly

# Machine-readable: the format's header paragraph first, then paragraphs
# of fields; every Files paragraph names its copyright and licence, and
# every licence named has its text (in the paragraph or a standalone one).
copyright_is_machine_readable() {
  awk '
    BEGIN { RS = ""; FS = "\n" }
    NR == 1 {
      if ($1 != "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/") {
        print "no Format header: " $1 > "/dev/stderr"; bad = 1
      }
      next
    }
    {
      files = copyright = license = text = 0
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^Files: /) files = 1
        else if ($i ~ /^Copyright: ./) copyright = 1
        else if ($i ~ /^License: ./) { license = substr($i, 10); sub(/ +$/, "", license) }
        else if ($i ~ /^ /) { if (license) text = 1 }
        else if ($i !~ /^[A-Za-z-]+: /) { print "not a field: " $i > "/dev/stderr"; bad = 1 }
      }
      if (!license) { print "paragraph " NR " names no License" > "/dev/stderr"; bad = 1 }
      if (files && !copyright) { print "paragraph " NR " names no Copyright" > "/dev/stderr"; bad = 1 }
      named[license] = 1
      if (text) explained[license] = 1
    }
    END {
      for (l in named) if (!(l in explained)) { print "no text for " l > "/dev/stderr"; bad = 1 }
      if (NR < 2) { print "no Files paragraph" > "/dev/stderr"; bad = 1 }
      exit bad
    }' "$unpacked/usr/share/doc/varnolt/copyright" &&
    grep -q '^Upstream-Contact: .*<.*@.*>$' "$unpacked/usr/share/doc/varnolt/copyright"
}
check "the copyright file is machine-readable" copyright_is_machine_readable

icon_is_an_svg() {
  grep -q '<svg' "$unpacked/usr/share/icons/hicolor/scalable/apps/varnolt.svg"
}
check "the icon is an SVG" icon_is_an_svg

# --- Install with apt-get and remove again (as root, and only when no
# varnolt package was installed before, which this would replace)
if [ "$(id -u)" -eq 0 ] && ! dpkg-query -W -f='${Status}' varnolt 2>/dev/null | grep -q 'install ok installed'; then
  apt_get() { apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@"; }
  install_and_remove_leave_nothing() {
    installed_here=1
    apt_get install "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; return 1; }
    dpkg-query -L varnolt | while read -r path; do [ -f "$path" ] && echo "$path"; done \
      >"$work/files"
    [ "$(/usr/bin/varnolt-scan "$root/examples/links.htm" 2>/dev/null | wc -l)" -eq 3 ] &&
      man -w varnolt-scan >/dev/null && man -w varnolt >/dev/null || return 1
    apt_get remove varnolt >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; return 1; }
    installed_here=""
    [ "$(wc -l <"$work/files")" -ge 8 ] || return 1
    local left
    left=$(while read -r path; do [ -e "$path" ] && echo "$path"; done <"$work/files")
    [ -z "$left" ] || { echo "left behind: $left" >&2; return 1; }
    ! dpkg-query -W -f='${Status}' varnolt 2>/dev/null | grep -q 'install ok installed'
  }
  check "apt-get install, then apt-get remove leaves nothing behind" \
    install_and_remove_leave_nothing
else
  echo "skipped: apt-get install and remove (needs root and no varnolt installed)"
fi

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
