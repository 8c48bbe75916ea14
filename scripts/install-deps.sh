#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Safe to run again. Runs apt-get as root, through sudo
# otherwise.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libcurl4-openssl-dev zlib1g-dev ca-certificates
  libgtest-dev
  xvfb xdotool xclip x11-utils libx11-dev
  librsvg2-bin
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(ripgrep grep time)
fi
# --package: the checks of the Debian package (dpkg-dev, which builds it,
# comes with build-essential).
if [ "${1:-}" = "--package" ]; then
  packages+=(desktop-file-utils appstream man-db)
fi
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

# --windows: the 32-bit and 64-bit Windows cross builds and their tests under
# Wine. wine32 is an i386 package, so that architecture must be known to dpkg
# first; it installs also where the kernel runs no 32-bit program, and the
# tests then find that out and use wine64 alone. The Chinese locale is for
# the test of a page in the system's double-byte code page.
windows=""
if [ "${1:-}" = "--windows" ]; then
  windows=1
  packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686
             g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev googletest
             wine wine32:i386 wine64 locales xvfb xdotool xclip x11-utils icoutils
             python3-minimal
             # Wine's TLS provider, and the test certificates for it
             libgnutls30 libgnutls30:i386 openssl)
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

# Wine takes its system locale from the C library's, which must exist for it.
generate_locale() {
  if [ -n "$windows" ] && ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8'; then
    echo "Generating the locale zh_CN.UTF-8"
    $sudo localedef -i zh_CN -c -f UTF-8 zh_CN.UTF-8
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  generate_locale
  exit 0
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ -n "$windows" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
generate_locale
