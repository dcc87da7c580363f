#!/usr/bin/env bash
# Makes docs/screenshot-main.png: the main window under Xvfb with six generated files in its
# list and a run under way. Needs the packages of scripts/install-deps.sh (Xvfb, AT-SPI,
# python3-pyatspi, ImageMagick).  Usage: scripts/screenshot.sh [BUILD_DIR]
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
