#!/usr/bin/env bash
# Preview playback benchmark (not a test): plays a generated 1080p30 H.264 + AAC clip for 20 s
# in a window hosting the preview pane under Xvfb and reports the pictures shown and dropped and
# the CPU time used, beside the ffmpeg tool decoding the same 20 s with the same thread count.
# Usage: bench/preview-bench.sh [BUILD_DIR] [SCREENSHOT.png]
#   BUILD_DIR defaults to build-bench (configure it with -DCMAKE_BUILD_TYPE=Release).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
screenshot=${2:-}
seconds=20
threads=$(nproc)
[ -x "$build/bench/preview_bench" ] || cmake --build "$build" --target preview_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clip=$work/clip-1080p30.mp4
echo "making a 1080p30 H.264 + AAC clip..."
ffmpeg -nostdin -y -v error -f lavfi -i "testsrc2=size=1920x1080:rate=30:d=$((seconds + 3))" \
  -f lavfi -i "sine=f=440:d=$((seconds + 3))" -c:v libx264 -preset veryfast -b:v 8M \
  -pix_fmt yuv420p -c:a aac -shortest "$clip"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
args=(--seconds "$seconds")
[ -n "$screenshot" ] && args+=(--screenshot "$(realpath -m "$screenshot")")
echo "preview ($threads decoding threads, no sound device: system clock):"
xvfb-run -a -s "-screen 0 1024x768x24" "$build/bench/preview_bench" "${args[@]}" "$clip" 2>&1 |
  grep -v -E "XDG_RUNTIME_DIR|PulseAudio|pa_context"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "ffmpeg tool decoding the same $seconds s of video with -threads $threads (as fast as it can):"
/usr/bin/time -f "  CPU %U s user + %S s system, %e s wall" \
  ffmpeg -nostdin -v error -threads "$threads" -t "$seconds" -i "$clip" -an -f null -
