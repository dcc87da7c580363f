#!/usr/bin/env bash
# Engine benchmark: converts one 30 s 1280x720 H.264+AAC source with our engine (engine_run)
# and with the ffmpeg tool, same codecs, bit rates, picture size, frame rate and threads, for
# six output formats, and prints per format the wall-time ratio ours/ffmpeg and both peak
# memory figures. Each side runs REPEAT times (default 2), alternating, and the best time
# counts, so that load from other processes distorts less.
#
# Usage: bench/engine-bench.sh [BUILD_DIR]   (default build-bench; configured and built here
# in Release without sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
repeat=${REPEAT:-2}
threads=${THREADS:-1}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIN_SANITIZE=OFF \
  -DQUORVIN_TESTS=OFF >/dev/null
cmake --build "$build" --target engine_run >/dev/null
runner="$build/bench/engine_run"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src="$work/source.mp4"
ffmpeg -nostdin -hide_banner -v error -y \
  -f lavfi -i "testsrc2=size=1280x720:rate=25:d=30" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:d=30" -ac 2 \
  -c:v libx264 -preset veryfast -b:v 3000k -pix_fmt yuv420p -c:a aac -b:a 128k "$src"

# name | extension | our options | ffmpeg output options
formats=(
  "iPod|mp4|vcodec=mpeg4 b=512000 s=320x240 r=25 acodec=libfaac ab=128000 ar=44100 ac=2|-c:v mpeg4 -b:v 512k -s 320x240 -r 25 -c:a aac -b:a 128k -ar 44100 -ac 2"
  "MP4 H264|mp4|vcodec=libx264 b=1200000 r=25 acodec=libfaac ab=128000 ar=44100 ac=2|-c:v libx264 -b:v 1200k -r 25 -c:a aac -b:a 128k -ar 44100 -ac 2"
  "AVI|avi|vcodec=mpeg4 b=1200000 r=25 acodec=pcm_s16le ar=48000 ac=2|-c:v mpeg4 -b:v 1200k -r 25 -c:a pcm_s16le -ar 48000 -ac 2"
  "MPEG-2|mpg|vcodec=mpeg2video b=1200000 s=320x240 r=25 acodec=mp2 ab=128000 ar=44100 ac=2|-c:v mpeg2video -b:v 1200k -s 320x240 -r 25 -c:a mp2 -b:a 128k -ar 44100 -ac 2"
  "WMV|wmv|vcodec=wmv2 b=1500000 s=320x240 r=25 acodec=wmav2 ab=128000 ar=48000 ac=2|-c:v wmv2 -b:v 1500k -s 320x240 -r 25 -c:a wmav2 -b:a 128k -ar 48000 -ac 2"
  "MP3|mp3|vn=1 acodec=libmp3lame ab=128000 ar=48000 ac=2|-vn -c:a libmp3lame -b:a 128k -ar 48000 -ac 2"
)

# Runs a command under /usr/bin/time; prints "wall_seconds peak_kb".
measure() {
  local log="$work/time.log"
  /usr/bin/time -v -o "$log" "$@" >/dev/null 2>"$work/stderr.log" || {
    echo "failed: $*" >&2
    cat "$work/stderr.log" >&2
    return 1
  }
  local wall peak
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log" |
    awk -F: '{ if (NF == 3) print $1*3600 + $2*60 + $3; else print $1*60 + $2 }')
  peak=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
  echo "$wall $peak"
}

printf '%-10s %9s %9s %7s %12s %12s %7s\n' format ours_s ffmpeg_s ratio ours_peakKB ff_peakKB mem
for entry in "${formats[@]}"; do
  IFS='|' read -r name ext ours theirs <<<"$entry"
  best_ours=""; best_ff=""; peak_ours=0; peak_ff=0
  for ((i = 0; i < repeat; i++)); do
    # shellcheck disable=SC2086
    read -r w p < <(measure "$runner" "$src" "$work/ours.$ext" threads=$threads $ours)
    best_ours=$(awk -v a="$best_ours" -v b="$w" 'BEGIN { print (a == "" || b < a) ? b : a }')
    (( p > peak_ours )) && peak_ours=$p
    # shellcheck disable=SC2086
    read -r w p < <(measure ffmpeg -nostdin -hide_banner -v error -y -threads "$threads" \
      -i "$src" $theirs -threads "$threads" -filter_threads 1 "$work/theirs.$ext")
    best_ff=$(awk -v a="$best_ff" -v b="$w" 'BEGIN { print (a == "" || b < a) ? b : a }')
    (( p > peak_ff )) && peak_ff=$p
  done
  awk -v n="$name" -v o="$best_ours" -v f="$best_ff" -v po="$peak_ours" -v pf="$peak_ff" \
    'BEGIN { printf "%-10s %9.2f %9.2f %7.2f %12d %12d %7.2f\n", n, o, f, o / f, po, pf, po / pf }'
done
