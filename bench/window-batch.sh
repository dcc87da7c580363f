#!/usr/bin/env bash
# The window's run against the command line on one batch (not a test): twenty 2-second clips
# (320x240 MPEG-4 + AAC, made with the ffmpeg tool) converted to the default format, iPod MP4,
# by the `quorvin` window (under Xvfb, or on the offscreen platform when xvfb-run is missing;
# started with the clips on its command line and QUORVIN_BATCH_OUTPUT set, so that it presses
# Start itself and reports the time from Start to the end of the run and the CPU time it took)
# and by `quorvin-convert --jobs N` (the whole process's wall and CPU time, by /usr/bin/time),
# each at one row at a time and at AT_ONCE rows at a time (default 2; the window through
# QUORVIN_CONVERSIONS_AT_ONCE). Prints the figures side by side: wall seconds, CPU-seconds,
# the machine's limit for the run (CPU-seconds / cores: no run on these cores can be faster)
# and the wall time against that limit (at most 1.1 is within 10% of it), then the window's
# time against the command line's at the same number at once (target at AT_ONCE: <= 1.15).
# With REPEAT=N each run is made N times and the fastest counts.
# Usage: [REPEAT=N] [AT_ONCE=N] bench/window-batch.sh [BUILD_DIR]  (default build-bench; Release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ ! -x "$build/app/quorvin" ] || [ ! -x "$build/cli/quorvin-convert" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF >/dev/null
  cmake --build "$build" --target quorvin quorvin-convert >/dev/null
fi
repeat=${REPEAT:-1}
at_once=${AT_ONCE:-2}
cores=$(nproc)
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

window_once() {  # window_once N: prints "WALL CPU" of the window's run at N at once
  local out=$work/window-out config=$work/config line
  rm -rf "$out" "$config" "$work/data"
  mkdir -p "$out"
  # Settings and the kept list in throw-away folders: a first run, the default format.
  local run=(env XDG_CONFIG_HOME=$config XDG_DATA_HOME=$work/data PULSE_SERVER=unix:/nonexistent
             QUORVIN_BATCH_OUTPUT=$out QUORVIN_CONVERSIONS_AT_ONCE=$1)
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
  echo "$line" | sed -E 's/.* in ([0-9.]+) s, ([0-9.]+) CPU-seconds.*/\1 \2/'
}

cli_once() {  # cli_once N: prints "WALL CPU" of quorvin-convert --jobs N
  local out=$work/cli-out
  rm -rf "$out"
  mkdir -p "$out"
  /usr/bin/time -f "%e %U %S" -o "$work/time" \
    "$build/cli/quorvin-convert" -o "$out" --jobs "$1" "${files[@]}" >/dev/null
  if [ "$(ls "$out" | wc -l)" -ne "$clips" ]; then
    echo "the command line's run failed" >&2
    exit 1
  fi
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}

fastest() {  # fastest FUNCTION N: the run of least wall time of REPEAT runs
  local best="" t
  for _ in $(seq "$repeat"); do
    t=$("$1" "$2")
    if [ -z "$best" ] || [ "$(echo "${t% *} < ${best% *}" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

row() {  # row NAME "WALL CPU"
  local wall=${2% *} cpu=${2#* }
  local limit
  limit=$(echo "$cpu / $cores" | bc -l)
  printf "%-28s %8.3f %8.3f %8.3f %8.3f\n" "$1" "$wall" "$cpu" "$limit" \
    "$(echo "$wall / $limit" | bc -l)"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $cores cores"
window_1=$(fastest window_once 1)
cli_1=$(fastest cli_once 1)
window_n=$(fastest window_once "$at_once")
cli_n=$(fastest cli_once "$at_once")
printf "%-28s %8s %8s %8s %8s\n" "run" "wall s" "CPU s" "limit s" "/limit"
row "window, 1 at once" "$window_1"
row "quorvin-convert --jobs 1" "$cli_1"
row "window, $at_once at once" "$window_n"
row "quorvin-convert --jobs $at_once" "$cli_n"
printf "window / command line at 1:  %6.3f\n" "$(echo "${window_1% *} / ${cli_1% *}" | bc -l)"
printf "window / command line at %d:  %6.3f   (target <= 1.15)\n" "$at_once" \
  "$(echo "${window_n% *} / ${cli_n% *}" | bc -l)"
printf "%d at once / 1 at once: window %6.3f, command line %6.3f\n" "$at_once" \
  "$(echo "${window_n% *} / ${window_1% *}" | bc -l)" "$(echo "${cli_n% *} / ${cli_1% *}" | bc -l)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
