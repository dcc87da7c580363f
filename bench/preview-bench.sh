#!/usr/bin/env bash
# Preview playback benchmark (not a test): starts the real `quorvin` window under Xvfb with a
# generated 1080p30 H.264 + AAC clip on its command line, selects the row, presses the preview's
# Play button and plays for 20 s, then reports the pictures shown and dropped and the CPU time
# the program used meanwhile, beside the ffmpeg tool decoding the same 20 s with the same thread
# count. It plays once without a sound device and, when pulseaudio is installed, once more with
# the sound going to a private null sink.
# Usage: bench/preview-bench.sh [BUILD_DIR] [SCREENSHOT.png]
#   BUILD_DIR defaults to build-bench (configure it with -DCMAKE_BUILD_TYPE=Release).
#   SCREENSHOT.png: a picture of the window taken 3 s into the first run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
screenshot=${2:-}
seconds=20
threads=$(nproc)
[ -x "$build/app/quorvin" ] || cmake --build "$build" --target quorvin >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clip=$work/clip-1080p30.mp4
echo "making a 1080p30 H.264 + AAC clip..."
ffmpeg -nostdin -y -v error -f lavfi -i "testsrc2=size=1920x1080:rate=30:d=$((seconds + 3))" \
  -f lavfi -i "sine=f=440:d=$((seconds + 3))" -c:v libx264 -preset veryfast -b:v 8M \
  -pix_fmt yuv420p -c:a aac -shortest "$clip"

play() {  # play [PULSE_SERVER] [SCREENSHOT]: one run of the window under Xvfb
  # The window's settings go to a throw-away folder, never the user's.
  PULSE_SERVER=${1:-unix:/nonexistent} XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
    QUORVIN_PREVIEW_SECONDS=$seconds QUORVIN_PREVIEW_SCREENSHOT=${2:-} \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/quorvin" "$clip" 2>&1 |
    grep -v -E "XDG_RUNTIME_DIR|PulseAudio|pa_context|propagateSizeHints"
}
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "quorvin window without a sound device (system clock), $threads decoding threads:"
play "" "${screenshot:+$(realpath -m "$screenshot")}"
if command -v pulseaudio >/dev/null; then
  # A private sound server with a null sink: the sound is decoded and played, and its clock
  # is the master.
  mkdir -p "$work/pulse"
  PULSE_RUNTIME_PATH=$work/pulse HOME=$work/pulse pulseaudio -n --daemonize=no \
    --use-pid-file=no --exit-idle-time=-1 -L "module-null-sink sink_name=bench" \
    -L "module-native-protocol-unix socket=$work/pulse/native auth-anonymous=1" \
    >"$work/pulse/log" 2>&1 &
  pulse_pid=$!
  trap 'kill "$pulse_pid" 2>/dev/null; rm -rf "$work"' EXIT
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -S "$work/pulse/native" ] && break; sleep 0.5; done
  echo "quorvin window with sound on a null sink (audio clock):"
  play "unix:$work/pulse/native"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "ffmpeg tool decoding the same $seconds s of video with -threads $threads (as fast as it can):"
/usr/bin/time -f "  CPU %U s user + %S s system, %e s wall" \
  ffmpeg -nostdin -v error -threads "$threads" -t "$seconds" -i "$clip" -an -f null -
