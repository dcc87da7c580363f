#!/usr/bin/env bash
# The window over a long batch (not a test): 300 tiny clips (0.5 s, 160x120 MPEG-4 + AAC, one
# made with the ffmpeg tool and copied) converted to the default format by the `quorvin` window
# (under Xvfb, or on the offscreen platform when xvfb-run is missing; started with the clips on
# its command line and QUORVIN_BATCH_OUTPUT set, so that it presses Start itself and closes at
# the end of the run), two conversions at once (QUORVIN_CONVERSIONS_AT_ONCE, default 2).
# Every second the window process's resident memory (VmRSS) and open descriptors are sampled;
# prints the first, peak and last of each, so that memory or descriptors kept per converted row
# show as a last value well above the first.
# With SAMPLES=FILE each sample is also written there (seconds, VmRSS kB, descriptors).
# Usage: [CLIPS=N] [SAMPLES=FILE] bench/window-soak.sh [BUILD_DIR]
#        (default build-bench; built in Release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ ! -x "$build/app/quorvin" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF >/dev/null
  cmake --build "$build" --target quorvin >/dev/null
fi
clips=${CLIPS:-300}
at_once=${QUORVIN_CONVERSIONS_AT_ONCE:-2}
samples=${SAMPLES:-}

work=$(mktemp -d)
window_pid=""
cleanup() {
  # Only the processes this script started.
  if [ -n "$window_pid" ] && kill -0 "$window_pid" 2>/dev/null; then kill "$window_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/clips" "$work/out"
echo "making $clips clips of 0.5 s..."
ffmpeg -nostdin -hide_banner -v error -y \
  -f lavfi -i "testsrc=size=160x120:rate=25:duration=0.5" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.5" \
  -c:v mpeg4 -q:v 4 -c:a aac -b:a 64k -shortest "$work/clip.mp4"
for i in $(seq -w 1 "$clips"); do cp "$work/clip.mp4" "$work/clips/clip$i.mp4"; done
files=("$work"/clips/clip*.mp4)

# Settings and the kept list in throw-away folders: a first run, the default format.
run=(env XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" PULSE_SERVER=unix:/nonexistent
     QUORVIN_BATCH_OUTPUT="$work/out" QUORVIN_CONVERSIONS_AT_ONCE="$at_once")
if command -v xvfb-run >/dev/null; then
  run+=(xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/quorvin")
else
  run+=("$build/app/quorvin" -platform offscreen)
fi
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"${run[@]}" "${files[@]}" >"$work/window.out" 2>"$work/window.err" &
launcher=$!

# The window process: the launcher itself, or its child named quorvin under xvfb-run.
find_window() {
  local pid
  for _ in $(seq 100); do
    if [ "$(cat "/proc/$launcher/comm" 2>/dev/null)" = quorvin ]; then
      echo "$launcher"
      return
    fi
    for pid in $(ps -o pid= --ppid "$launcher" 2>/dev/null); do
      if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = quorvin ]; then
        echo "$pid"
        return
      fi
    done
    sleep 0.1
  done
}
window_pid=$(find_window)
if [ -z "$window_pid" ]; then
  echo "the window did not start" >&2
  cat "$work/window.err" >&2
  exit 1
fi

first_rss="" first_fds="" peak_rss=0 peak_fds=0 last_rss="" last_fds="" count=0
[ -n "$samples" ] && echo "seconds rss_kb fds" >"$samples"
start=$(date +%s)
while kill -0 "$window_pid" 2>/dev/null; do
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$window_pid/status" 2>/dev/null || true)
  fds=$(ls "/proc/$window_pid/fd" 2>/dev/null | wc -l)
  if [ -n "$rss" ] && [ "$fds" -gt 0 ]; then
    count=$((count + 1))
    [ -z "$first_rss" ] && first_rss=$rss first_fds=$fds
    [ "$rss" -gt "$peak_rss" ] && peak_rss=$rss
    [ "$fds" -gt "$peak_fds" ] && peak_fds=$fds
    last_rss=$rss last_fds=$fds
    [ -n "$samples" ] && echo "$(($(date +%s) - start)) $rss $fds" >>"$samples"
  fi
  sleep 1
done
status=0
wait "$launcher" || status=$?
window_pid=""

report=$(grep '^window: ' "$work/window.out" || true)
outputs=$(ls "$work/out" | wc -l)
echo "${report:-the window gave no report}"
echo "outputs: $outputs of $clips, exit status $status, $count samples"
if [ "$count" -eq 0 ]; then
  echo "no sample taken" >&2
  exit 1
fi
printf "VmRSS (kB):       first %8d  peak %8d  last %8d\n" "$first_rss" "$peak_rss" "$last_rss"
printf "open descriptors: first %8d  peak %8d  last %8d\n" "$first_fds" "$peak_fds" "$last_fds"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$status" -ne 0 ] || [ "$outputs" -ne "$clips" ]; then
  cat "$work/window.err" >&2
  exit 1
fi
