#!/usr/bin/env bash
# Installs the dependencies, builds both programs and makes a five-second demo clip with the
# ffmpeg tool. On a desktop (a display is set and the window program was built) it opens the
# window with the clip in its list; otherwise it converts the clip with quorvin-convert and the
# default output format (iPod MP4) and says how to open the window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF
demo=build/demo
clip=$demo/clip.avi
rm -rf "$demo"
mkdir -p "$demo/out"
ffmpeg -nostdin -hide_banner -v error -y \
  -f lavfi -i testsrc=size=640x480:rate=25:duration=5 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=5 \
  -c:v mpeg4 -q:v 4 -c:a mp2 -b:a 192k "$clip"

window=build/app/quorvin
if [ -x "$window" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  echo "Opening the window with $clip in its list."
  echo "Choose an output folder (for example $PWD/$demo/out) and press Start."
  exec "$window" "$clip"
fi

./build/cli/quorvin-convert -o "$demo/out" "$clip"
ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate,channels:format=duration \
  -of compact "$demo/out/clip.mp4"
echo
if [ -x "$window" ]; then
  echo "No display found, so the clip was converted with quorvin-convert."
  echo "To convert it in the window, run this on your desktop:"
  echo "    cd $PWD && $window $clip"
else
  echo "The window program was not built ($window is missing); see the build output above."
fi
