#!/usr/bin/env bash
# Installs a build into a scratch DESTDIR and checks the installed tree: the programs run from
# their installed place and report the project version, the man pages format without
# warnings, and, when the build has the desktop program, its desktop entry validates and names
# a program and an icon that are installed, the icons have their sizes and the help is there.
# Usage: install_check.sh BUILD_DIR SOURCE_DIR VERSION HAS_GUI(ON|OFF)
set -euo pipefail
build=$1 source=$2 version=$3 has_gui=$4
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
root=$stage/usr

expect_file() { [ -f "$root/$1" ] || fail "missing $1"; }

# A program that runs from the installed tree and prints "NAME (Quorvin iPod Video Converter) VERSION".
check_version() {
  local program=$1 out
  [ -x "$root/bin/$program" ] || { fail "missing or not executable: bin/$program"; return; }
  out=$(QT_QPA_PLATFORM=offscreen "$root/bin/$program" --version 2>&1) || fail "$program --version failed: $out"
  [[ "$out" == *"$program"*"$version"* ]] || fail "$program --version printed \"$out\", expected version $version"
}

# Man pages: gzip-compressed, with the project version in the footer, and no groff warnings.
check_man() {
  local page=$root/share/man/man1/$1.1.gz warnings
  [ -f "$page" ] || { fail "missing share/man/man1/$1.1.gz"; return; }
  zcat "$page" | grep -q "^\.TH .*$version" || fail "$1.1 does not carry version $version"
  warnings=$(zcat "$page" | groff -man -z -ww 2>&1) || fail "groff failed on $1.1"
  [ -z "$warnings" ] || fail "groff warnings in $1.1: $warnings"
}

# Width and height of a PNG file from its IHDR chunk.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }'; }

check_version quorvin-convert
check_man quorvin-convert

# The desktop entry in the source tree validates whether or not this build installs it.
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$source/resources/quorvin.desktop" || fail "resources/quorvin.desktop does not validate"
else
  fail "desktop-file-validate not found (package desktop-file-utils)"
fi

if [ "$has_gui" = ON ]; then
  check_version quorvin
  check_man quorvin
  expect_file share/quorvin/help/quorvin-help.html
  desktop=$root/share/applications/quorvin.desktop
  if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" || fail "installed desktop entry does not validate"
    exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$root/bin/$exec_program" ] || fail "desktop entry runs \"$exec_program\", which is not installed"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    expect_file "share/icons/hicolor/scalable/apps/$icon.svg"
    for size in 48 128; do
      png=$root/share/icons/hicolor/${size}x${size}/apps/$icon.png
      if [ -f "$png" ]; then
        [ "$(png_size "$png")" = "${size}x${size}" ] || fail "$png is $(png_size "$png"), not ${size}x${size}"
      else
        fail "missing share/icons/hicolor/${size}x${size}/apps/$icon.png"
      fi
    done
  else
    fail "missing share/applications/quorvin.desktop"
  fi
fi

# No build-only files (hook modules, static libraries, tests) are installed.
unexpected=$(cd "$stage" && find . -type f \( -name '*.a' -o -name '*.so' -o -name 'quorvin_tests' \) -print)
[ -z "$unexpected" ] || fail "build-only files installed: $unexpected"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; installed files:"
  (cd "$stage" && find . -type f | sort)
  exit 1
fi
echo "installed tree OK ($(cd "$stage" && find . -type f | wc -l) files)"
