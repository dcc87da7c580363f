#!/usr/bin/env bash
# Installs the dependencies, builds the converter and runs its main job: makes a five-second
# demo clip with the ffmpeg tool and converts it with the default output format (iPod MP4).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF
demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/out"
ffmpeg -nostdin -hide_banner -v error -y \
  -f lavfi -i testsrc=size=640x480:rate=25:duration=5 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=5 \
  -c:v mpeg4 -q:v 4 -c:a mp2 -b:a 192k "$demo/clip.avi"
./build/cli/quorvin-convert -o "$demo/out" "$demo/clip.avi"
ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate,channels:format=duration \
  -of compact "$demo/out/clip.mp4"
