#!/usr/bin/env bash
# The window with a long list (not a test). Makes one tiny clip (0.2 s, 64x64 MPEG-4 + AAC, with
# the ffmpeg tool) and N copies of it in a folder (default 5000), then runs the `quorvin` window
# (under Xvfb, or on the offscreen platform when xvfb-run is missing) twice:
#  1. with the folder on its command line and QUORVIN_LIST_BENCH=1: it lists the files, selects
#     every row and presses Delete, lists them again and presses Clear All, printing the time of
#     each step and its memory (VmRSS) and open files after listing and after Clear All;
#  2. with RUN_CLIPS of the copies (default 300) and QUORVIN_BATCH_OUTPUT set: it converts them
#     to the default format and prints the run's time and its memory and open files after it.
# Usage: [FILES=N] [RUN_CLIPS=M] bench/window-list.sh [BUILD_DIR]   (default build-bench, Release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ ! -x "$build/app/quorvin" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF >/dev/null
  cmake --build "$build" --target quorvin >/dev/null
fi
files=${FILES:-5000}
run_clips=${RUN_CLIPS:-300}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/list" "$work/run" "$work/out"
echo "making $files copies of a 0.2 s 64x64 clip..."
ffmpeg -nostdin -hide_banner -v error -y \
  -f lavfi -i "testsrc=size=64x64:rate=25:duration=0.2" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.2" \
  -c:v mpeg4 -c:a aac -shortest "$work/clip.mp4"
for i in $(seq -w 1 "$files"); do cp "$work/clip.mp4" "$work/list/clip$i.mp4"; done
for i in $(seq -w 1 "$run_clips"); do cp "$work/clip.mp4" "$work/run/clip$i.mp4"; done

window() {  # window ENV... -- ARGS...: runs the window with settings in a throw-away folder
  local env_args=() run
  while [ "$1" != "--" ]; do env_args+=("$1"); shift; done
  shift
  rm -rf "$work/config" "$work/data"
  run=(env XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data PULSE_SERVER=unix:/nonexistent "${env_args[@]}")
  if command -v xvfb-run >/dev/null; then
    run+=(xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/quorvin")
  else
    run+=("$build/app/quorvin" -platform offscreen)
  fi
  "${run[@]}" "$@" 2>"$work/window.err" || { cat "$work/window.err" >&2; return 1; }
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
window QUORVIN_LIST_BENCH=1 -- "$work/list"
window QUORVIN_BATCH_OUTPUT="$work/out" -- "$work/run"
echo "outputs: $(ls "$work/out" | wc -l) of $run_clips"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
