#!/usr/bin/env bash
# Whole command lines side by side: quorvin-convert against the ffmpeg tool on the same jobs
# (same codecs, bit rates, picture size, frame rate and sample rate; codec threads chosen by
# the libraries in both), on a 30 s 1280x720 H.264+AAC source. Then four files converted with
# --jobs 2 against --jobs 1. Prints wall times, peak memory, the ratios and the processor use
# ((user + system time) / wall time) of both programs. With REPEAT=N each pair runs N times,
# one after the other, and the fastest run of each program counts.
# Usage: [REPEAT=N] bench/cli-bench.sh [BUILD_DIR]   (default build-bench; built in Release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF >/dev/null
cmake --build "$build" --target quorvin-convert >/dev/null
cli=$build/cli/quorvin-convert
work=$build/cli-bench
rm -rf "$work"
mkdir -p "$work/ours" "$work/ffmpeg" "$work/jobs1" "$work/jobs2"

src=$work/source.mp4
ffmpeg -nostdin -hide_banner -v error -y \
  -f lavfi -i testsrc2=size=1280x720:rate=25:duration=30 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=30 \
  -c:v libx264 -preset veryfast -b:v 3000k -c:a aac -b:a 128k -ac 2 "$src"

repeat=${REPEAT:-1}

# Runs a command under /usr/bin/time; prints "wall_seconds peak_kbytes cpu_seconds".
measure() {
  local log
  log=$(mktemp)
  if ! /usr/bin/time -f "%e %M %U %S" -o "$log" "$@" >/dev/null 2>"$log.err"; then
    echo "command failed: $*" >&2
    cat "$log.err" >&2
  fi
  awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$log"
  rm -f "$log" "$log.err"
}

# The fastest of REPEAT runs of a command: "wall_seconds peak_kbytes cpu_seconds".
best_of() {
  local best="" line
  for _ in $(seq "$repeat"); do
    line=$(measure "$@")
    if [[ -z $best ]] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
      best=$line
    fi
  done
  echo "$best"
}

# name | our choices | extension | ffmpeg output options (the translation of those choices)
jobs=(
  "iPod|--format 0|mp4|-c:v mpeg4 -b:v 512k -s 320x240 -r 25 -aspect 1.7778 -c:a aac -b:a 128k -ar 44100 -ac 2"
  "MP4 H264|--format 17 --video-codec H264|mp4|-c:v libx264 -b:v 1200k -r 25 -aspect 1.7778 -c:a aac -b:a 128k -ar 44100 -ac 2"
  "AVI|--format 14|avi|-c:v mpeg4 -b:v 1200k -r 25 -aspect 1.7778 -c:a pcm_s16le -ar 48000 -ac 2"
  "MPEG-2|--format 19|mpg|-c:v mpeg2video -b:v 1200k -s 320x240 -r 25 -aspect 1.7778 -c:a mp2 -b:a 128k -ar 44100 -ac 2"
  "WMV|--format 20|wmv|-c:v wmv2 -b:v 1500k -s 320x240 -r 25 -aspect 1.7778 -c:a wmav2 -b:a 128k -ar 48000 -ac 2"
  "MP3|--format 6|mp3|-vn -c:a libmp3lame -b:a 128k -ar 48000 -ac 2"
)

printf "%-10s %8s %8s %6s %8s %8s %6s %6s %6s\n" format ours_s ffm_s ratio ours_MB ffm_MB mem \
  ours_cpu ffm_cpu
for job in "${jobs[@]}"; do
  IFS='|' read -r name choices ext ffargs <<<"$job"
  # shellcheck disable=SC2086
  read -r our_s our_kb our_cpu < <(best_of "$cli" -o "$work/ours" --overwrite $choices "$src")
  # shellcheck disable=SC2086
  read -r ff_s ff_kb ff_cpu < <(best_of ffmpeg -nostdin -hide_banner -v error -y -i "$src" \
    $ffargs "$work/ffmpeg/source.$ext")
  awk -v n="$name" -v a="$our_s" -v b="$ff_s" -v ma="$our_kb" -v mb="$ff_kb" -v ca="$our_cpu" \
    -v cb="$ff_cpu" 'BEGIN {
      printf "%-10s %8.2f %8.2f %6.2f %8d %8d %6.2f %6.2f %6.2f\n", n, a, b, (b > 0 ? a / b : 0),
        ma / 1024, mb / 1024, (mb > 0 ? ma / mb : 0), (a > 0 ? ca / a : 0), (b > 0 ? cb / b : 0) }'
done

# Four 10 s files, iPod format: all at once two at a time against one after another.
for i in 1 2 3 4; do
  ffmpeg -nostdin -hide_banner -v error -y -ss 0 -t 10 -i "$src" -c copy "$work/part$i.mp4"
done
parts=("$work"/part1.mp4 "$work"/part2.mp4 "$work"/part3.mp4 "$work"/part4.mp4)
read -r one_s _ _ < <(best_of "$cli" -o "$work/jobs1" --overwrite --jobs 1 "${parts[@]}")
read -r two_s _ _ < <(best_of "$cli" -o "$work/jobs2" --overwrite --jobs 2 "${parts[@]}")
ratio=$(awk -v a="$two_s" -v b="$one_s" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
echo
echo "four files: --jobs 1 ${one_s}s, --jobs 2 ${two_s}s, ratio jobs2/jobs1 ${ratio}"
