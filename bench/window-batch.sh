#!/usr/bin/env bash
# The window's run against the command line on one batch (not a test): twenty 2-second clips
# (320x240 MPEG-4 + AAC, made with the ffmpeg tool) converted to the default format, iPod MP4,
# once by the `quorvin` window (under Xvfb, or on the offscreen platform when xvfb-run is
# missing; started with the clips on its command line and QUORVIN_BATCH_OUTPUT set, so that it
# presses Start itself and reports the time from Start to the end of the run) and once by
# `quorvin-convert --jobs 1` (the whole process's wall time). Prints both times and their ratio.
# With REPEAT=N each program runs N times and the fastest run counts.
# Usage: [REPEAT=N] bench/window-batch.sh [BUILD_DIR]   (default build-bench; built in Release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ ! -x "$build/app/quorvin" ] || [ ! -x "$build/cli/quorvin-convert" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF >/dev/null
  cmake --build "$build" --target quorvin quorvin-convert >/dev/null
fi
repeat=${REPEAT:-1}
clips=20

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/clips"
echo "making $clips 2-second clips..."
for i in $(seq -w 1 "$clips"); do
  ffmpeg -nostdin -hide_banner -v error -y \
    -f lavfi -i "testsrc=size=320x240:rate=25:duration=2" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" \
    -c:v mpeg4 -q:v 4 -c:a aac -b:a 96k -shortest "$work/clips/clip$i.mp4"
done
files=("$work"/clips/clip*.mp4)

window_once() {  # prints the window's seconds from Start to the end of the run
  local out=$work/window-out config=$work/config line
  rm -rf "$out" "$config" "$work/data"
  mkdir -p "$out"
  # Settings and the kept list in throw-away folders: a first run, the default format.
  local run=(env XDG_CONFIG_HOME=$config XDG_DATA_HOME=$work/data PULSE_SERVER=unix:/nonexistent
             QUORVIN_BATCH_OUTPUT=$out)
  if command -v xvfb-run >/dev/null; then
    run+=(xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/quorvin")
  else
    run+=("$build/app/quorvin" -platform offscreen)
  fi
  line=$("${run[@]}" "${files[@]}" 2>"$work/window.err" | grep '^window: ' || true)
  if [ -z "$line" ] || [ "$(ls "$out" | wc -l)" -ne "$clips" ]; then
    echo "the window's run failed: ${line:-no report}" >&2
    cat "$work/window.err" >&2
    exit 1
  fi
  echo "$line" | sed -E 's/.* in ([0-9.]+) s.*/\1/'
}

cli_once() {  # prints the command line's wall seconds
  local out=$work/cli-out start end
  rm -rf "$out"
  mkdir -p "$out"
  start=$(date +%s.%N)
  "$build/cli/quorvin-convert" -o "$out" --jobs 1 "${files[@]}" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

fastest() {  # fastest FUNCTION: the least of REPEAT runs
  local best="" t
  for _ in $(seq "$repeat"); do
    t=$("$1")
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
window_s=$(fastest window_once)
cli_s=$(fastest cli_once)
printf "window (Start to end of run):     %6.3f s\n" "$window_s"
printf "quorvin-convert --jobs 1 (wall):  %6.3f s\n" "$cli_s"
printf "ratio window / command line:      %6.3f\n" "$(echo "$window_s / $cli_s" | bc -l)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
