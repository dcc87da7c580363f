#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and benchmarking the project needs.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config make \
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev libavdevice-dev \
  libopencore-amrnb-dev libgtest-dev ffmpeg time \
  qt6-base-dev qt6-multimedia-dev xvfb xauth pulseaudio >/dev/null
