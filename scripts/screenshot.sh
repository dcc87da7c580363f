#!/usr/bin/env bash
# Makes docs/screenshot-main.png: the main window under Xvfb with six generated files in its
# list and a run under way; and docs/screenshot-preview.png: the main window playing a
# generated clip in its preview pane. Needs the packages of scripts/install-deps.sh (Xvfb,
# AT-SPI, python3-pyatspi, ImageMagick).  Usage: scripts/screenshot.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -x "$build/app/quorvin" ]; then
  cmake -S . -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target quorvin
fi
python=python3
if [ -x /usr/bin/python3 ]; then python=/usr/bin/python3; fi
mkdir -p docs
"$python" tests/atspi/convert_by_accessibility.py --screenshot docs/screenshot-main.png \
  "$build/app/quorvin"

# The preview: the window starts with two generated clips in its list, selects the first,
# presses Play and saves its own picture 3 s later (see QUORVIN_PREVIEW_SECONDS in app/main.cpp).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Videos"
ffmpeg -nostdin -y -v error -f lavfi -i "testsrc2=size=640x360:rate=25:d=8" \
  -f lavfi -i "sine=f=440:d=8" -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest \
  "$work/Videos/holiday.mp4"
ffmpeg -nostdin -y -v error -f lavfi -i "smptebars=size=320x240:rate=25:d=5" \
  -c:v mpeg4 "$work/Videos/bars.avi"
PULSE_SERVER=unix:/nonexistent XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data QUORVIN_PREVIEW_SECONDS=4 \
  QUORVIN_PREVIEW_SCREENSHOT="$PWD/docs/screenshot-preview.png" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/quorvin" "$work/Videos/holiday.mp4" \
  "$work/Videos/bars.avi" >/dev/null
echo "wrote docs/screenshot-preview.png"
